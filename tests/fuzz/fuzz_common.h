// Shared pieces of the fuzz targets: cutting templates out of a fuzz input,
// feature sets bound to their own storage, and invariant checks.
//
// The library trusts callers to pass buffers that hold the whole template, so
// a target never hands it a short buffer: every template is either copied
// into a zero-padded slot as large as anything the decoders read, or passed
// in an exact-size heap copy only after CheckTemplate has accepted its length
// (AddressSanitizer then reports any read beyond what CheckTemplate promised).
#ifndef FPMATCH_FUZZ_COMMON_H
#define FPMATCH_FUZZ_COMMON_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fpmatch.h"

// Invariant check that works in every build type (assert vanishes in release).
#define FUZZ_CHECK(cond)                                                                  \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fpmatch::fuzz {

constexpr size_t kNativeReadMax = 56 + 4 * FPMATCH_MAX_NATIVE_MINUTIAE;  // 156
constexpr size_t kIsoReadMax = 28 + 6 * FPMATCH_MAX_MINUTIAE;            // 328
constexpr size_t kSlot = kIsoReadMax;  // a slot holds any template the decoders read
constexpr size_t kShort = FPMATCH_SHORT_TEMPLATE_SIZE;                   // 512

// Consumes a fuzz input from the front.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Left() const { return size_; }
    const uint8_t* Data() const { return data_; }
    uint8_t Byte() {
        if (size_ == 0) return 0;
        const uint8_t b = *data_;
        ++data_;
        --size_;
        return b;
    }
    // Takes up to n bytes; returns how many were taken.
    size_t Take(size_t n, const uint8_t** out) {
        if (n > size_) n = size_;
        *out = data_;
        data_ += n;
        size_ -= n;
        return n;
    }
    // Takes one template whose length follows from its own header (see
    // DeclaredLength), so that plain concatenated templates are natural inputs.
    size_t TakeTemplate(const uint8_t** out);

private:
    const uint8_t* data_;
    size_t size_;
};

// Length of the template at the front: the bytes the decoder reads
// (TemplateLength), or everything left when the header cannot tell; never
// more than `available`.
inline size_t DeclaredLength(const uint8_t* p, size_t available) {
    const int32_t length = TemplateLength(p, available);
    if (length <= 0) return available;
    return static_cast<size_t>(length) < available ? static_cast<size_t>(length) : available;
}

inline size_t Input::TakeTemplate(const uint8_t** out) { return Take(DeclaredLength(data_, size_), out); }

// A template copied into a zero-padded slot of the largest size any decoder
// reads.
struct Slot {
    uint8_t bytes[kSlot];
    size_t length = 0;  // bytes that came from the input
    Slot() { std::memset(bytes, 0, sizeof bytes); }
    Slot(const uint8_t* p, size_t n) : Slot() { Set(p, n); }
    void Set(const uint8_t* p, size_t n) {
        std::memset(bytes, 0, sizeof bytes);
        length = n < kSlot ? n : kSlot;
        if (length) std::memcpy(bytes, p, length);
    }
};

// A 512-byte short template, zero-padded.
struct ShortSlot {
    uint8_t bytes[kShort];
    ShortSlot() { std::memset(bytes, 0, sizeof bytes); }
    void Set(const uint8_t* p, size_t n) {
        std::memset(bytes, 0, sizeof bytes);
        if (n > kShort) n = kShort;
        if (n) std::memcpy(bytes, p, n);
    }
};

// An exact-size heap copy: reading one byte beyond it is an ASan report.
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* p, size_t n) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(copy.get(), p, n);
    return copy;
}

// A feature set bound to storage of its own (the library's FeatureStorage),
// cleared as the entry points do; the storage's parts by short names.
struct OwnedSet {
    FeatureStorage storage;
    FeatureSet fs;
    Minutia (&minutiae)[FPMATCH_MAX_MINUTIAE] = storage.minutiae;
    SingularPoint (&singular)[3] = storage.singularPoints;
    GndTable& gnd = storage.gndTable;
    BlockQtyMap& blocks = storage.blockQty;
    OwnedSet() { Reset(0xA5); }
    OwnedSet(const OwnedSet&) = delete;
    OwnedSet& operator=(const OwnedSet&) = delete;
    // Clears the record and fills the storage with `fill`, so that results
    // that depend on storage the decoder should have written show up as
    // differences between two fills.
    void Reset(uint8_t fill) {
        std::memset(&storage, fill, sizeof storage);
        BindFeatureSet(&fs, &storage);
    }
};

inline bool IsIso(const uint8_t* p) { return p[0] == 'F' && p[1] == 'M'; }

// What every successful decode guarantees.
inline void CheckDecoded(const uint8_t* tmpl, const FeatureSet& fs) {
    FUZZ_CHECK(fs.width == FPMATCH_IMAGE_WIDTH);
    FUZZ_CHECK(fs.height == FPMATCH_IMAGE_HEIGHT);
    FUZZ_CHECK(fs.minutiaCount >= 1 && fs.minutiaCount <= FPMATCH_MAX_MINUTIAE);
    const bool iso = IsIso(tmpl);
    if (!iso) FUZZ_CHECK(fs.minutiaCount <= FPMATCH_MAX_NATIVE_MINUTIAE);
    for (int i = 0; i < fs.minutiaCount; ++i) {
        const Minutia& m = fs.minutiae[i];
        if (iso) {
            FUZZ_CHECK(m.x >= 0 && m.x <= 16383 && m.y >= 0 && m.y <= 16383);
            FUZZ_CHECK(m.angle >= 2 && m.angle <= 360);
            FUZZ_CHECK(m.quality <= 40);
            FUZZ_CHECK(m.type == 0 || m.type == 1 || m.type == 2 || m.type == 255);
        } else {
            FUZZ_CHECK(m.x >= -256 && m.x <= 255 && m.y >= 0 && m.y <= 511);
            FUZZ_CHECK(m.angle >= 0 && m.angle <= 511);
            FUZZ_CHECK(m.quality <= 15);
            FUZZ_CHECK(m.type <= 1);
        }
    }
    for (int i = 0; i < FPMATCH_GND_CELLS; ++i) {
        FUZZ_CHECK(fs.gndTable->cells[i] <= 1);
        if (iso) FUZZ_CHECK(fs.gndTable->cells[i] == 0);
    }
    if (iso) {
        for (int i = 0; i < 3; ++i) FUZZ_CHECK(fs.singularPoints[i].x == 0 && fs.singularPoints[i].y == 0);
    } else {
        FUZZ_CHECK(fs.singularPoints[2].x == 0 && fs.singularPoints[2].y == 0);
    }
}

// Two decodes of the same bytes into storage of different fill agree on
// everything the decoder writes.
inline bool SameDecode(const FeatureSet& a, const FeatureSet& b) {
    if (a.width != b.width || a.height != b.height || a.minutiaCount != b.minutiaCount ||
        a.format != b.format || a.quality != b.quality)
        return false;
    for (int i = 0; i < a.minutiaCount; ++i) {
        const Minutia &p = a.minutiae[i], &q = b.minutiae[i];
        if (p.x != q.x || p.y != q.y || p.angle != q.angle || p.quality != q.quality || p.type != q.type)
            return false;
    }
    return std::memcmp(a.singularPoints, b.singularPoints, 3 * sizeof(SingularPoint)) == 0 &&
           std::memcmp(a.gndTable, b.gndTable, sizeof(GndTable)) == 0 &&
           std::memcmp(a.blockQty, b.blockQty, sizeof(BlockQtyMap)) == 0;
}

// QuickSort's result array: -1 or a position below candidateCount, no
// position twice, -1 only after every listed position.
inline void CheckBestList(const int32_t* best, int32_t candidateCount) {
    bool seenEmpty = false;
    for (int k = 0; k < FPMATCH_SCREEN_BEST; ++k) {
        if (best[k] == -1) {
            seenEmpty = true;
            continue;
        }
        FUZZ_CHECK(!seenEmpty);
        FUZZ_CHECK(best[k] >= 0 && best[k] < candidateCount);
        for (int j = 0; j < k; ++j) FUZZ_CHECK(best[j] != best[k]);
    }
}

}  // namespace fpmatch::fuzz

#endif
