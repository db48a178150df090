// Direction and length of a displacement: table lookups and the atan form.
#include <cmath>
#include <cstdint>

#include "internal.h"

#include "geometry_tables.inc"

extern "C" {
alignas(64) const uint8_t AtanTab2D[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS] = {FPMATCH_ATAN_ENTRIES};
alignas(64) const uint8_t SqrtTab[FPMATCH_TABLE_ROWS * FPMATCH_TABLE_COLUMNS] = {FPMATCH_SQRT_ENTRIES};
}

namespace fpmatch::detail {
namespace {
constexpr int kEntries = kTableRows * kTableColumns;
constexpr PolarTable Interleave() {
    constexpr uint8_t atan[kEntries] = {FPMATCH_ATAN_ENTRIES};
    constexpr uint8_t sqrt[kEntries] = {FPMATCH_SQRT_ENTRIES};
    PolarTable t{};
    for (int i = 0; i < kEntries; ++i) t.entry[i] = PolarEntry{atan[i], sqrt[i]};
    return t;
}
}  // namespace

// The entries of AtanTab2D and SqrtTab side by side, from the same lists.
alignas(64) constinit const PolarTable kPolarTable = Interleave();
}  // namespace fpmatch::detail

extern "C" {

// Outside the tables (|dy| > 143 or |dx| > 127) the values are computed:
// the direction by math_Atang (0 on the positive x axis, as in the table),
// the length as sqrt(dx^2 + dy^2) rounded to nearest (as the table holds
// it), at most INT32_MAX.
int32_t math_AtangUseTab(int32_t dy, int32_t dx) {
    if (fpmatch::detail::InTables(dy, dx)) return fpmatch::detail::TableAtan(dy, dx);
    return dy == 0 && dx > 0 ? 0 : math_Atang(dy, dx);
}

int32_t math_SqrtUseTab(int32_t dy, int32_t dx) {
    if (fpmatch::detail::InTables(dy, dx)) return fpmatch::detail::TableSqrt(dy, dx);
    const double length = std::floor(std::hypot(static_cast<double>(dx), static_cast<double>(dy)) + 0.5);
    return length < 2147483647.0 ? static_cast<int32_t>(length) : INT32_MAX;
}

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
