// The alignment's transform (MinutiasTransform): rotate a template's
// minutiae about a pivot by a whole number of degrees, shift them, and keep
// those that land inside the image on the other template's foreground.
//
// The rotation uses sine and cosine scaled by 1024 and truncated, from a
// table the compiler fills (tests/test_pairing_forms.cpp compares it with
// sin and cos).
#include <cmath>
#include <cstdint>

#include "internal.h"

namespace fpmatch::detail {
namespace {

constexpr double kPi = 3.1415926;  // the library's fixed approximation

// Sine and cosine of x (|x| <= 3.15) by their series, for the rotation
// table, which the compiler fills.
constexpr double SineSeries(double x) {
    double term = x, sum = x;
    for (int k = 1; k < 40; ++k) {
        term *= -x * x / ((2.0 * k) * (2.0 * k + 1.0));
        sum += term;
    }
    return sum;
}
constexpr double CosineSeries(double x) {
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= -x * x / ((2.0 * k - 1.0) * (2.0 * k));
        sum += term;
    }
    return sum;
}

constexpr int32_t kTabledTurn = 180;  // the table holds -180..180 degrees
struct RotationTable {
    int32_t sine[2 * kTabledTurn + 1], cosine[2 * kTabledTurn + 1];
};
constexpr RotationTable MakeRotationTable() {
    RotationTable table{};
    for (int32_t a = -kTabledTurn; a <= kTabledTurn; ++a) {
        const double theta = static_cast<double>(a) * kPi / 180.0;
        table.sine[a + kTabledTurn] = static_cast<int32_t>(SineSeries(theta) * 1024.0);
        table.cosine[a + kTabledTurn] = static_cast<int32_t>(CosineSeries(theta) * 1024.0);
    }
    return table;
}
constexpr RotationTable kRotations = MakeRotationTable();

}  // namespace

Rotation RotationOf(int32_t angle) {
    if (angle >= -kTabledTurn && angle <= kTabledTurn)
        return Rotation{kRotations.sine[angle + kTabledTurn], kRotations.cosine[angle + kTabledTurn]};
    const double theta = static_cast<double>(angle) * kPi / 180.0;
    return Rotation{static_cast<int64_t>(std::sin(theta) * 1024.0), static_cast<int64_t>(std::cos(theta) * 1024.0)};
}

Moved MoveMinutiae(const FeatureSet* source, Minutia* keptCopy, Minutia* moved, SingularPoint* movedSingular,
                   const uint8_t* otherGndTable, RigidTransform t) {
    const Rotation rotation = RotationOf(t.angle);
    const int64_t S = rotation.sine, C = rotation.cosine;
    const int64_t baseX = 1024 * (static_cast<int64_t>(t.pivotX) + t.shiftX);
    const int64_t baseY = 1024 * (static_cast<int64_t>(t.pivotY) + t.shiftY);
    // >> 10 on a signed value is a floor division by 1024.
    auto moveX = [&](int64_t x, int64_t y) { return (baseX + (y - t.pivotY) * S + (x - t.pivotX) * C) >> 10; };
    auto moveY = [&](int64_t x, int64_t y) { return (baseY + (y - t.pivotY) * C - (x - t.pivotX) * S) >> 10; };

    // Singular points 0 and 1 move when both coordinates are non-zero; the
    // marker entry (0, 2) and absent points stay (0, 0).
    for (int e = 0; e < 2; ++e) {
        const SingularPoint& sp = source->singularPoints[e];
        if (sp.x != 0 && sp.y != 0)
            movedSingular[e] = {static_cast<int32_t>(moveX(sp.x, sp.y)), static_cast<int32_t>(moveY(sp.x, sp.y))};
    }

    const int32_t width = Min(source->width, kImageWidth);
    const int32_t height = Min(source->height, kImageHeight);
    const int32_t count = ClampCount(source->minutiaCount);
    Moved result{};
    for (int32_t i = 0; i < count; ++i) {
        const Minutia& m = source->minutiae[i];
        const int64_t x = moveX(m.x, m.y), y = moveY(m.x, m.y);
        int64_t turned = int64_t{m.angle} - t.angle;
        if (turned < 0) turned += 360;
        if (turned > 359) turned -= 360;
        const auto angle = static_cast<int32_t>(turned);  // modulo 2^32 beyond int32
        if (x < 0 || x >= width || y < 0 || y >= height) continue;
        if (otherGndTable[(y >> 3) * 32 + (x >> 3)] == 1) continue;  // background there
        moved[i] = Minutia{static_cast<int32_t>(x), static_cast<int32_t>(y), angle, m.quality, m.type};
        if (keptCopy != nullptr) keptCopy[i] = m;
        ++result.kept;
        result.keptSlots |= uint64_t{1} << i;
        result.present |= static_cast<uint64_t>(x != 0) << i;
    }
    return result;
}

}  // namespace fpmatch::detail

extern "C" int32_t MinutiasTransform(const FeatureSet* source, Minutia* keptCopy, Minutia* moved,
                                     SingularPoint* movedSingular, const uint8_t* otherGndTable,
                                     RigidTransform transform) {
    return fpmatch::detail::MoveMinutiae(source, keptCopy, moved, movedSingular, otherGndTable, transform).kept;
}
