// ISO record adaptation (being written).
#include "internal.h"
extern "C" {
int32_t AdaptIsoRecord(const uint8_t*, size_t, uint8_t*, size_t) { return -1; }
}
