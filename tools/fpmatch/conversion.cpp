#include "conversion.h"

#include <algorithm>
#include <memory>

#include <fmt/core.h>

#include "output.h"
#include "report.h"

namespace fpmatch::tool {

namespace {

// The writers' field ranges, as the header documents them.
constexpr int32_t kNativeXMin = -256, kNativeXMax = 255;
constexpr int32_t kShortXMin = 0, kShortXMax = 511;
constexpr int32_t kYMax = 511, kAngleMax = 511, kSingularMax = 511;

}  // namespace

std::string WriteRefusal(const FeatureSet& fs, int32_t code, WriteTarget target) {
    const bool native = target == WriteTarget::Native;
    const int32_t xMin = native ? kNativeXMin : kShortXMin, xMax = native ? kNativeXMax : kShortXMax;
    const char* format = native ? "native" : "short";
    for (int i = 0; i < fs.minutiaCount && fs.minutiae != nullptr; ++i) {
        const Minutia& m = fs.minutiae[i];
        const std::string which =
            fmt::format("minutia {} (x {}, y {}, angle {}, {})", i, m.x, m.y, m.angle, TypeName(m.type));
        if (code == FPMATCH_WRITE_BAD_POSITION && (m.x < xMin || m.x > xMax))
            return fmt::format("{} does not fit: x must lie in {}..{} in a {} template", which, xMin, xMax, format);
        if (code == FPMATCH_WRITE_BAD_POSITION && (m.y < 0 || m.y > kYMax))
            return fmt::format("{} does not fit: y must lie in 0..{}", which, kYMax);
        if (code == FPMATCH_WRITE_BAD_ANGLE && (m.angle < 0 || m.angle > kAngleMax))
            return fmt::format("{} does not fit: the direction must lie in 0..{}", which, kAngleMax);
        if (code == FPMATCH_WRITE_BAD_TYPE && m.type > 1)
            return fmt::format("{} does not fit: only endings and bifurcations have a place in a {} template", which,
                               format);
    }
    if (code == FPMATCH_WRITE_BAD_SINGULAR && fs.singularPoints != nullptr)
        for (int i = 0; i < 2; ++i) {
            const SingularPoint& p = fs.singularPoints[i];
            if (p.x < 0 || p.x > kSingularMax || p.y < 0 || p.y > kSingularMax)
                return fmt::format("singular point {} ({}, {}) does not fit 0..{}", i, p.x, p.y, kSingularMax);
        }
    return WriteCodeMessage(code);
}

bool MakeShortTemplate(const Template& t, uint8_t* out, std::string* reason) {
    if (t.kind == TemplateKind::Short) {
        std::copy(t.bytes.begin(), t.bytes.end(), out);
        return true;
    }
    auto storage = std::make_unique<FeatureStorage>();
    FeatureSet fs;
    const int32_t code = DecodeTemplate(t, storage.get(), &fs);
    if (code != FPMATCH_DECODED) {
        *reason = "does not decode: " + (t.refusal.empty() ? DecodeCodeMessage(code) : t.refusal);
        return false;
    }
    const int32_t n = WriteShortTemplate(&fs, out, FPMATCH_SHORT_TEMPLATE_SIZE);
    if (n != FPMATCH_SHORT_TEMPLATE_SIZE) {
        *reason = "cannot make a short template: " + WriteRefusal(fs, n, WriteTarget::Short);
        return false;
    }
    return true;
}

}  // namespace fpmatch::tool
