// Alignment scoring (being written).
#include "internal.h"
extern "C" {
int32_t MinutiasTransform(const FeatureSet*, Minutia*, Minutia*, SingularPoint*, const uint8_t*, RigidTransform) { return 0; }
void CalcMatchScore(const FeatureSet*, const FeatureSet*, BasePair*, int32_t) {}
void XYtoPolar(const Minutia*, uint32_t, int32_t, int32_t, PolarMinutia*) {}
int32_t CalcIsoPair(const Minutia*, const PolarMinutia*, int32_t, const Minutia*, const PolarMinutia*, int32_t, MinutiaPair*) { return 0; }
void CalcPosScore(const Minutia*, const Minutia*, int32_t, int32_t, const MinutiaPair*, int32_t, int32_t*, int32_t*) {}
void CalcSingularScore(const SingularPoint*, const SingularPoint*, const SingularPoint*, const SingularPoint*, const uint8_t*, const uint8_t*, int32_t*) {}
void CalcNegScore(int32_t, int32_t, const MinutiaPair*, int32_t, const Minutia*, int32_t, const uint8_t*, int32_t, int32_t*, int32_t*) {}
int32_t CalcLastScore(BasePair*, const Minutia*, const Minutia*, int32_t) { return 0; }
}
