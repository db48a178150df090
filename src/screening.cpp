// Candidate screening (being written).
#include "internal.h"
extern "C" {
void XpdShortChar(const int32_t*, ShortMinutia*, int16_t*, int16_t*, int16_t*, void*) {}
void BuildCharGraph(int32_t, const ShortMinutia*, CharNode*) {}
void BuildLimitGraph(int32_t, const ShortMinutia*, LimitNode*) {}
int32_t QuickSort(const uint8_t*, const uint8_t*, int32_t, int32_t*) { return 0; }
}
