// Direction and length of a displacement: table lookups and the atan form.
#include <cmath>
#include <cstdint>

#include "internal.h"

extern "C" {
#include "geometry_tables.inc"
}

extern "C" {

int32_t math_AtangUseTab(int32_t dy, int32_t dx) { return fpmatch::detail::TableAtan(dy, dx); }

int32_t math_SqrtUseTab(int32_t dy, int32_t dx) { return fpmatch::detail::TableSqrt(dy, dx); }

int32_t math_Atang(int32_t dy, int32_t dx) {
    if (dx == 0) {
        if (dy > 0) return 90;
        if (dy < 0) return 270;
        return 0;
    }
    // Degrees with the library's approximation of pi, rounded half away from
    // zero on the magnitude.
    const double c = std::atan(static_cast<double>(dy) / static_cast<double>(dx)) * 180.0 / 3.1415926;
    const int32_t rounded = static_cast<int32_t>(std::floor(std::fabs(c) + 0.5));
    if (dx > 0) return dy > 0 ? rounded : 360 - rounded;
    return dy >= 0 ? 180 - rounded : 180 + rounded;
}

}  // extern "C"
