// Template writers (being written).
#include "internal.h"
extern "C" {
int32_t WriteNativeTemplate(const FeatureSet*, uint8_t*, size_t) { return -1; }
int32_t WriteShortTemplate(const FeatureSet*, uint8_t*, size_t) { return -1; }
}
