// ISO/IEC 19794-2:2005 record adaptation: an opt-in byte transform that
// rewrites the first finger view of a record so that the matcher's fixed
// 256 x 288 frame, 50-minutia limit and quality weighting see the finger the
// way they were designed for. The matcher itself is not involved.
//
// Record layout (big-endian): 24-byte header ("FMR\0", " 20\0", 4-byte record
// length, capture equipment, image width and height, x and y resolution in
// px/cm, number of finger views, reserved), then per finger view a 4-byte
// header (position, view/impression, finger quality, minutia count), 6-byte
// minutia entries, a 2-byte extended data length and that many bytes of
// extended data.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "internal.h"

namespace {

constexpr size_t kRecordHeaderSize = 24;
constexpr size_t kViewHeaderSize = 4;
constexpr size_t kEntrySize = 6;
constexpr size_t kExtLengthSize = 2;
constexpr size_t kFirstViewOffset = kRecordHeaderSize;
constexpr size_t kFirstEntriesOffset = kFirstViewOffset + kViewHeaderSize;

constexpr size_t kLengthOffset = 8;
constexpr size_t kWidthOffset = 14;
constexpr size_t kHeightOffset = 16;
constexpr size_t kResolutionXOffset = 18;
constexpr size_t kResolutionYOffset = 20;
constexpr size_t kViewCountOffset = 22;
constexpr size_t kViewMinutiaCount = 3;  // within a finger view header
constexpr size_t kEntryQuality = 5;      // within a minutia entry

constexpr uint8_t kIdentifier[4] = {'F', 'M', 'R', 0};
constexpr uint8_t kVersion[4] = {' ', '2', '0', 0};

constexpr size_t kMaxKept = FPMATCH_MAX_MINUTIAE;
constexpr int32_t kTargetResolution = 197;  // px/cm, 500 dpi
constexpr int32_t kCentreX = FPMATCH_IMAGE_WIDTH / 2;
constexpr int32_t kCentreY = FPMATCH_IMAGE_HEIGHT / 2;
constexpr int32_t kMinX = 1;  // the matcher treats x = 0 as an empty slot
constexpr int32_t kMinY = 0;
constexpr int32_t kMaxCoordinate = 0x3FFF;  // 14-bit fields
constexpr int32_t kMaxImageSize = 0xFFFF;
constexpr uint8_t kFilledQuality = 100;

using fpmatch::detail::Read16;
using fpmatch::detail::Read32;
using fpmatch::detail::Write16;
using fpmatch::detail::Write32;

// 14-bit coordinates; the top two bits of each pair of bytes are the type
// (x) and reserved bits (y) and are never touched.
int32_t EntryX(const uint8_t* e) { return (e[0] & 0x3F) << 8 | e[1]; }
int32_t EntryY(const uint8_t* e) { return (e[2] & 0x3F) << 8 | e[3]; }

void SetEntryX(uint8_t* e, int32_t x) {
    e[0] = static_cast<uint8_t>((e[0] & 0xC0) | (x >> 8));
    e[1] = static_cast<uint8_t>(x);
}

void SetEntryY(uint8_t* e, int32_t y) {
    e[2] = static_cast<uint8_t>((e[2] & 0xC0) | (y >> 8));
    e[3] = static_cast<uint8_t>(y);
}

// A resolution of 0 (unknown) or 197 px/cm leaves the axis as it is.
bool NeedsScaling(int32_t resolution) { return resolution != 0 && resolution != kTargetResolution; }

// Value measured at `resolution` px/cm, expressed at 197 px/cm, rounded to
// nearest (halves up). Inputs are at most 65535, so 32 bits suffice.
int32_t Scale(int32_t value, int32_t resolution) {
    if (!NeedsScaling(resolution)) return value;
    return (value * kTargetResolution + resolution / 2) / resolution;
}

// Everything the write pass needs, worked out from the input alone so that a
// refusal never leaves `out` half written.
struct Plan {
    size_t recordLength;
    size_t declaredCount;  // minutiae of the first view as stored
    size_t keptCount;      // after the cap
    size_t adaptedLength;
    int32_t resolutionX, resolutionY;
    int32_t shiftX, shiftY;
    int32_t width, height;  // adapted image size
    bool fillQuality;
};

// Walks every finger view, checking that each part lies inside the record and
// that the views end exactly where the record does. For the views after the
// first, also checks that their coordinates still fit once scaled and widens
// maxX/maxY to them.
int32_t CheckViews(const uint8_t* record, const Plan& plan, size_t viewCount, int32_t* maxX,
                   int32_t* maxY) {
    const size_t end = plan.recordLength;
    size_t at = kFirstViewOffset;
    if (end < at) return FPMATCH_ADAPT_VIEW_TRUNCATED;
    for (size_t v = 0; v < viewCount; ++v) {
        if (end - at < kViewHeaderSize) return FPMATCH_ADAPT_VIEW_TRUNCATED;
        const size_t count = record[at + kViewMinutiaCount];
        const size_t entries = at + kViewHeaderSize;
        if (end - entries < kEntrySize * count + kExtLengthSize) return FPMATCH_ADAPT_VIEW_TRUNCATED;
        const size_t extLengthAt = entries + kEntrySize * count;
        const size_t extLength = Read16(record + extLengthAt);
        const size_t extData = extLengthAt + kExtLengthSize;
        if (end - extData < extLength) return FPMATCH_ADAPT_VIEW_TRUNCATED;
        if (v > 0) {
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* e = record + entries + kEntrySize * i;
                const int32_t x = Scale(EntryX(e), plan.resolutionX);
                const int32_t y = Scale(EntryY(e), plan.resolutionY);
                if (x > kMaxCoordinate || y > kMaxCoordinate) return FPMATCH_ADAPT_OUT_OF_RANGE;
                if (x > *maxX) *maxX = x;
                if (y > *maxY) *maxY = y;
            }
        }
        at = extData + extLength;
    }
    return at == end ? FPMATCH_DECODED : FPMATCH_ADAPT_LENGTH_MISMATCH;
}

int32_t MakePlan(const uint8_t* record, size_t length, Plan* plan) {
    if (length < kRecordHeaderSize) return FPMATCH_ADAPT_TRUNCATED;
    if (std::memcmp(record, kIdentifier, sizeof kIdentifier) != 0) return FPMATCH_ADAPT_BAD_IDENTIFIER;
    if (std::memcmp(record + 4, kVersion, sizeof kVersion) != 0) return FPMATCH_ADAPT_BAD_VERSION;
    const uint32_t declaredLength = Read32(record + kLengthOffset);
    if (declaredLength > length) return FPMATCH_ADAPT_LENGTH_EXCEEDS_BUFFER;
    const size_t viewCount = record[kViewCountOffset];
    if (viewCount == 0) return FPMATCH_ADAPT_NO_VIEWS;

    plan->recordLength = declaredLength;
    plan->resolutionX = static_cast<int32_t>(Read16(record + kResolutionXOffset));
    plan->resolutionY = static_cast<int32_t>(Read16(record + kResolutionYOffset));
    int32_t maxX = 0, maxY = 0;  // largest adapted coordinates of every view
    const int32_t viewsCode = CheckViews(record, *plan, viewCount, &maxX, &maxY);
    if (viewsCode != FPMATCH_DECODED) return viewsCode;

    plan->declaredCount = record[kFirstViewOffset + kViewMinutiaCount];
    if (plan->declaredCount == 0) return FPMATCH_ADAPT_NO_MINUTIAE;
    plan->keptCount = plan->declaredCount > kMaxKept ? kMaxKept : plan->declaredCount;
    plan->adaptedLength = plan->recordLength - kEntrySize * (plan->declaredCount - plan->keptCount);

    // Bounding box of the kept entries at the target resolution.
    const uint8_t* entries = record + kFirstEntriesOffset;
    int32_t lowX = INT32_MAX, highX = -1;
    int32_t lowY = lowX, highY = -1;
    bool allQualitiesZero = true;
    for (size_t i = 0; i < plan->keptCount; ++i) {
        const uint8_t* e = entries + kEntrySize * i;
        const int32_t x = Scale(EntryX(e), plan->resolutionX);
        const int32_t y = Scale(EntryY(e), plan->resolutionY);
        if (x < lowX) lowX = x;
        if (x > highX) highX = x;
        if (y < lowY) lowY = y;
        if (y > highY) highY = y;
        if (e[kEntryQuality] != 0) allQualitiesZero = false;
    }
    plan->fillQuality = allQualitiesZero;

    // Move the box centre (floored) to the frame centre, but never push the
    // lowest x below 1 or the lowest y below 0.
    int32_t shiftX = kCentreX - (lowX + highX) / 2;  // sums are non-negative
    int32_t shiftY = kCentreY - (lowY + highY) / 2;
    if (lowX + shiftX < kMinX) shiftX = kMinX - lowX;
    if (lowY + shiftY < kMinY) shiftY = kMinY - lowY;
    if (highX + shiftX > kMaxCoordinate || highY + shiftY > kMaxCoordinate) return FPMATCH_ADAPT_OUT_OF_RANGE;
    plan->shiftX = shiftX;
    plan->shiftY = shiftY;
    if (highX + shiftX > maxX) maxX = highX + shiftX;
    if (highY + shiftY > maxY) maxY = highY + shiftY;

    // Image size at the target resolution, raised so every minutia lies
    // inside the image.
    int32_t width = Scale(static_cast<int32_t>(Read16(record + kWidthOffset)), plan->resolutionX);
    int32_t height = Scale(static_cast<int32_t>(Read16(record + kHeightOffset)), plan->resolutionY);
    if (width <= maxX) width = maxX + 1;
    if (height <= maxY) height = maxY + 1;
    if (width > kMaxImageSize || height > kMaxImageSize) return FPMATCH_ADAPT_OUT_OF_RANGE;
    plan->width = width;
    plan->height = height;
    return FPMATCH_DECODED;
}

void ScaleEntry(uint8_t* e, const Plan& plan) {
    SetEntryX(e, Scale(EntryX(e), plan.resolutionX));
    SetEntryY(e, Scale(EntryY(e), plan.resolutionY));
}

void WriteAdapted(const uint8_t* record, const Plan& plan, size_t viewCount, uint8_t* out) {
    // Copy the header, first view header and kept entries, then everything
    // after the first view's declared entries (its extended data and the later
    // views). memmove: `out` may be `record`, and then the tail moves down.
    const size_t keptEnd = kFirstEntriesOffset + kEntrySize * plan.keptCount;
    const size_t declaredEnd = kFirstEntriesOffset + kEntrySize * plan.declaredCount;
    std::memmove(out, record, keptEnd);
    std::memmove(out + keptEnd, record + declaredEnd, plan.recordLength - declaredEnd);

    Write32(out + kLengthOffset, static_cast<uint32_t>(plan.adaptedLength));
    Write16(out + kWidthOffset, static_cast<uint32_t>(plan.width));
    Write16(out + kHeightOffset, static_cast<uint32_t>(plan.height));
    if (NeedsScaling(plan.resolutionX)) Write16(out + kResolutionXOffset, kTargetResolution);
    if (NeedsScaling(plan.resolutionY)) Write16(out + kResolutionYOffset, kTargetResolution);
    out[kFirstViewOffset + kViewMinutiaCount] = static_cast<uint8_t>(plan.keptCount);

    uint8_t* entries = out + kFirstEntriesOffset;
    for (size_t i = 0; i < plan.keptCount; ++i) {
        uint8_t* e = entries + kEntrySize * i;
        ScaleEntry(e, plan);
        SetEntryX(e, EntryX(e) + plan.shiftX);
        SetEntryY(e, EntryY(e) + plan.shiftY);
        if (plan.fillQuality) e[kEntryQuality] = kFilledQuality;
    }

    // Later views only follow the resolution change.
    if (!NeedsScaling(plan.resolutionX) && !NeedsScaling(plan.resolutionY)) return;
    size_t at = keptEnd + kExtLengthSize + Read16(out + keptEnd);
    for (size_t v = 1; v < viewCount; ++v) {
        const size_t count = out[at + kViewMinutiaCount];
        uint8_t* viewEntries = out + at + kViewHeaderSize;
        for (size_t i = 0; i < count; ++i) ScaleEntry(viewEntries + kEntrySize * i, plan);
        const size_t extLengthAt = at + kViewHeaderSize + kEntrySize * count;
        at = extLengthAt + kExtLengthSize + Read16(out + extLengthAt);
    }
}

}  // namespace

extern "C" {

int32_t AdaptIsoRecord(const uint8_t* record, size_t length, uint8_t* out, size_t outCapacity) {
    if (record == nullptr || out == nullptr) return FPMATCH_ADAPT_NULL_INPUT;
    Plan plan{};
    const int32_t code = MakePlan(record, length, &plan);
    if (code != FPMATCH_DECODED) return code;
    if (outCapacity < plan.adaptedLength) return FPMATCH_ADAPT_OUT_TOO_SMALL;
    WriteAdapted(record, plan, record[kViewCountOffset], out);
    // A valid record is at most 24 + 255 views of 4 + 6 * 255 + 2 + 65535
    // bytes, far below 2^31.
    return static_cast<int32_t>(plan.adaptedLength);
}

}  // extern "C"
