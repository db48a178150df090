// Base pair search (being written).
#include "internal.h"
extern "C" {
void BuildTopoGraph(const FeatureSet*, TopoEdge*, uint8_t*) {}
void SortTopoGraph(const FeatureSet*, TopoEdge*, const uint8_t*) {}
int32_t CalcBasePair(const FeatureSet*, const FeatureSet*, BasePair*) { return 0; }
int32_t CompareTopoGraph(const FeatureSet*, const FeatureSet*, const TopoEdge*, const TopoEdge*, BasePair*, const uint8_t*, const uint8_t*) { return 0; }
void TopoGraphSearchTab(const TopoEdge*, int32_t, int32_t, uint8_t*) {}
int32_t CalcPairScore(const TopoEdge*, const TopoEdge*, const uint8_t*, int32_t) { return 0; }
void BuildTopoIndex(const TopoEdge*, int32_t, uint8_t*) {}
void InsertBasePair(BasePair, BasePair*, int32_t) {}
}
