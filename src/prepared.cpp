// Prepared probes and galleries: the share of a comparison that depends on
// one template only, done once and kept in a caller-owned fixed-size record.
#include <cstdint>
#include <cstring>
#include <new>

#include "internal.h"
#include "internal_paths.h"

namespace {

using fpmatch::detail::BindFeatureSet;
using fpmatch::detail::FeatureStorage;
using fpmatch::detail::ScoreDecodedPair;

constexpr uint32_t kProbeMagic = 0x46505050u;    // "FPPP"
constexpr uint32_t kGalleryMagic = 0x46505047u;  // "FPPG"
constexpr uint32_t kLayoutVersion = 1;

// A decoded template without pointers: what a FeatureSet points at, plus its
// scalar fields.
struct DecodedRecord {
    uint32_t magic;
    uint32_t layout;
    int32_t status;  // decoder code; 0 = usable
    int32_t width;
    int32_t height;
    int8_t minutiaCount;
    uint8_t format;
    uint8_t quality;
    FeatureStorage storage;
};

static_assert(sizeof(DecodedRecord) <= FPMATCH_PREPARED_PROBE_SIZE);
static_assert(sizeof(DecodedRecord) <= FPMATCH_PREPARED_GALLERY_SIZE);

// A read-only view of a record as a FeatureSet; the stages only read it.
void View(const DecodedRecord& r, FeatureSet* fs) {
    BindFeatureSet(fs, const_cast<FeatureStorage*>(&r.storage));
    fs->width = r.width;
    fs->height = r.height;
    fs->minutiaCount = r.minutiaCount;
    fs->format = r.format;
    fs->quality = r.quality;
}

int32_t Prepare(const uint8_t* tmpl, DecodedRecord* r, uint32_t magic, bool reorder) {
    std::memset(r, 0, sizeof(*r));
    r->magic = magic;
    r->layout = kLayoutVersion;
    if (tmpl == nullptr) {
        r->status = FPMATCH_NULL_INPUT;
        return r->status;
    }
    FeatureSet fs;
    BindFeatureSet(&fs, &r->storage);
    r->status = DecodeFeature(tmpl, &fs);
    if (r->status != FPMATCH_DECODED) return r->status;
    if (reorder) {
        Minutia scratch[fpmatch::detail::kMaxMinutiae];
        MinutiaMoveTop(&fs, fs.minutiae, scratch);
    }
    r->width = fs.width;
    r->height = fs.height;
    r->minutiaCount = fs.minutiaCount;
    r->format = fs.format;
    r->quality = fs.quality;
    return r->status;
}

// A record is usable when it carries the right tag, layout and a count the
// stages accept; anything else scores 0.
const DecodedRecord* Usable(const void* record, uint32_t magic) {
    if (record == nullptr) return nullptr;
    const auto* r = static_cast<const DecodedRecord*>(record);
    if (r->magic != magic || r->layout != kLayoutVersion || r->status != FPMATCH_DECODED) return nullptr;
    if (r->minutiaCount < 1 || r->minutiaCount > fpmatch::detail::kMaxMinutiae) return nullptr;
    return r;
}

// Outcome of one gallery template against a usable probe.
int32_t Outcome(const FeatureSet* probe, const uint8_t* galleryTemplate) {
    FeatureStorage storage;
    FeatureSet gallery;
    BindFeatureSet(&gallery, &storage);
    if (DecodeFeature(galleryTemplate, &gallery) != FPMATCH_DECODED) return FPMATCH_OUTCOME_NOT_DECODED;
    const int32_t score = ScoreDecodedPair(probe, &gallery);
    return score < 0 ? FPMATCH_OUTCOME_NO_BASE_PAIR : score;
}

}  // namespace

namespace fpmatch::detail {

int32_t SupportedPaths() { return 1 << kPathPortable; }
int32_t BestPath() { return kPathPortable; }
const char* PathName(int32_t path) {
    switch (path) {
        case kPathAvx2: return "AVX2";
        case kPathAvx3: return "AVX-512";
        default: return "portable";
    }
}

int32_t MatchPreparedOnPath(const PreparedProbe* probe, const uint8_t* galleryTemplate, int32_t) {
    const DecodedRecord* p = Usable(probe, kProbeMagic);
    if (p == nullptr || galleryTemplate == nullptr) return 0;
    FeatureSet probeSet;
    View(*p, &probeSet);
    const int32_t outcome = Outcome(&probeSet, galleryTemplate);
    return outcome < 0 ? 0 : outcome;
}

int32_t MatchPreparedPairOnPath(const PreparedProbe* probe, const PreparedGallery* gallery, int32_t) {
    const DecodedRecord* p = Usable(probe, kProbeMagic);
    const DecodedRecord* g = Usable(gallery, kGalleryMagic);
    if (p == nullptr || g == nullptr) return 0;
    FeatureSet probeSet, gallerySet;
    View(*p, &probeSet);
    View(*g, &gallerySet);
    const int32_t score = ScoreDecodedPair(&probeSet, &gallerySet);
    return score < 0 ? 0 : score;
}

}  // namespace fpmatch::detail

extern "C" {

int32_t PrepareProbe(const uint8_t* probeTemplate, PreparedProbe* prepared) {
    if (prepared == nullptr) return FPMATCH_NULL_INPUT;
    return Prepare(probeTemplate, reinterpret_cast<DecodedRecord*>(prepared), kProbeMagic, true);
}

int32_t PrepareGallery(const uint8_t* galleryTemplate, PreparedGallery* prepared) {
    if (prepared == nullptr) return FPMATCH_NULL_INPUT;
    return Prepare(galleryTemplate, reinterpret_cast<DecodedRecord*>(prepared), kGalleryMagic, false);
}

int32_t MatchPrepared(const PreparedProbe* probe, const uint8_t* galleryTemplate) {
    using namespace fpmatch::detail;
    return MatchPreparedOnPath(probe, galleryTemplate, BestPath());
}

int32_t MatchPreparedPair(const PreparedProbe* probe, const PreparedGallery* gallery) {
    using namespace fpmatch::detail;
    return MatchPreparedPairOnPath(probe, gallery, BestPath());
}

int32_t MatchPreparedList(const PreparedProbe* probe, const uint8_t* list, int32_t stride, int32_t firstIndex,
                          int32_t entryCount, int32_t* outcomes) {
    const DecodedRecord* p = Usable(probe, kProbeMagic);
    if (p == nullptr || list == nullptr || outcomes == nullptr) return -1;
    FeatureSet probeSet;
    View(*p, &probeSet);
    int32_t written = 0;
    for (int64_t i = firstIndex; written < entryCount && i <= INT32_MAX; ++i) {
        outcomes[written++] = Outcome(&probeSet, list + i * static_cast<int64_t>(stride));
    }
    return written;
}

int32_t SearchTopK(const PreparedProbe* probe, const uint8_t* list, int32_t stride, int32_t firstIndex,
                   int32_t entryCount, int32_t k, SearchHit* hits) {
    const DecodedRecord* p = Usable(probe, kProbeMagic);
    if (p == nullptr || list == nullptr || (hits == nullptr && k > 0)) return -1;
    FeatureSet probeSet;
    View(*p, &probeSet);
    int32_t filled = 0;
    int32_t compared = 0;
    for (int64_t i = firstIndex; compared < entryCount && i <= INT32_MAX; ++i, ++compared) {
        if (k <= 0) continue;
        int32_t score = Outcome(&probeSet, list + i * static_cast<int64_t>(stride));
        if (score < 0) score = 0;
        // Entries arrive in index order, so a newcomer goes behind equal
        // scores; it enters when the list has room or it beats the last.
        if (filled == k && score <= hits[k - 1].score) continue;
        int32_t q = filled < k ? filled++ : k - 1;
        while (q > 0 && hits[q - 1].score < score) {
            hits[q] = hits[q - 1];
            --q;
        }
        hits[q] = SearchHit{static_cast<int32_t>(i), score};
    }
    return k <= 0 ? 0 : filled;
}

}  // extern "C"
