// Prepared probes and galleries, and the fast comparison built on them.
//
// A prepared probe holds the decoded, reordered probe, its topology graph
// sorted row by row and, across rows, all its edges ordered by angle; a
// prepared gallery holds the decoded gallery and its unsorted graph. The
// comparison of two prepared records:
//   pair scores of all minutia pairs (ComputePairScores, one kernel per
//   instruction set) -> base pair selection, replaying CompareTopoGraph's
//   order on those scores (SelectBasePairs) -> alignment on each base pair
//   (CalcMatchScore) -> final score (CalcLastScore).
// Match2Score runs the same steps on records kept on its stack, so every
// entry point gives the same score by construction.
#include <cstdint>
#include <cstring>

#include "internal.h"
#include "internal_paths.h"
#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

// A read-only FeatureSet over a record's storage, for the alignment stages.
void View(const RecordHeader& h, const FeatureStorage& storage, FeatureSet* fs) {
    BindFeatureSet(fs, const_cast<FeatureStorage*>(&storage));
    fs->width = h.width;
    fs->height = h.height;
    fs->minutiaCount = h.minutiaCount;
    fs->format = h.format;
    fs->quality = h.quality;
}

// CompareTopoGraph's selection (basepair_rules.h) on precomputed pair
// scores. Pairs scoring 0 change nothing in it, so only the positive ones are
// visited, in the same order. Links give the edges from the reference
// minutiae: the probe's are stored, the gallery's unpacked from its row when
// the reference gallery minutia changes.
int32_t SelectFromTable(const ProbeRecord& probe, const GalleryRecord& gallery, const PairScoreTable& table,
                        BasePair* basePairs) {
    const Minutia* pm = probe.storage.minutiae;
    const Minutia* gm = gallery.storage.minutiae;
    int32_t referenceProbe = 0, referenceGallery = -1;
    uint32_t galleryLink[kMaxMinutiae] = {};
    auto visit = [&](int32_t i, auto consider) {
        const uint8_t type = pm[i].type;
        for (uint64_t columns = table.positive[i]; columns != 0; columns &= columns - 1) {
            const int32_t j = __builtin_ctzll(columns);
            if (type == gm[j].type) consider(j);
        }
    };
    auto contradicts = [&](int32_t i, int32_t j) {
        const uint32_t lp = probe.link[referenceProbe][i], lg = galleryLink[j];
        return lp != 0 && lg != 0 &&
               ContradictsReference(LinkDistance(lp), LinkAngle(lp), LinkRelative(lp), LinkDistance(lg),
                                    LinkAngle(lg), LinkRelative(lg));
    };
    auto score = [&](int32_t i, int32_t j) { return static_cast<int32_t>(table.score[i][j]); };
    auto newReference = [&](int32_t i, int32_t j) {
        referenceProbe = i;
        if (referenceGallery == j) return;
        referenceGallery = j;
        std::memset(galleryLink, 0, sizeof galleryLink);
        const int32_t k = gallery.rowCount[j] < kMaxRowEdges ? gallery.rowCount[j] : kMaxRowEdges;
        for (int32_t g = 0; g < k; ++g) {
            const CompactEdge& e = gallery.rows[j][g];
            if (e.neighbour < kMaxMinutiae) galleryLink[e.neighbour] = PackLink(e);
        }
    };
    return SelectBasePairs(probe.header.minutiaCount, visit, contradicts, score, newReference, basePairs);
}

// The alignments on the `count` selected base pairs and the final score.
// With `details` (room for three), each base pair's alignment is kept, in
// the order the base pairs had before CalcLastScore sorted them.
int32_t AlignBasePairs(const ProbeRecord& probe, const GalleryRecord& gallery, BasePair* basePairs, int32_t count,
                       AlignmentExplanation* details) {
    FeatureSet p, g;
    View(probe.header, probe.storage, &p);
    View(gallery.header, gallery.storage, &g);
    ScoreBasePairs(&p, &g, basePairs, count, details);
    return CalcLastScore(basePairs, p.minutiae, g.minutiae, count);
}

// The pair scores and the base pairs they select, in a frame of their own:
// the table is gone before the alignments take their stack.
__attribute__((noinline)) int32_t SelectForPair(const ProbeRecord& probe, const GalleryRecord& gallery,
                                                int32_t path, BasePair* basePairs) {
    PairScoreTable table;
    ComputePairScores(EdgesOf(probe), gallery, &table, path);
    return SelectFromTable(probe, gallery, table, basePairs);
}

}  // namespace

// The comparison from the pair scores on: the score, or -1 when no base pair
// is found.
int32_t ScoreFromTable(const ProbeRecord& probe, const GalleryRecord& gallery, const PairScoreTable& table) {
    BasePair basePairs[3] = {};
    const int32_t count = SelectFromTable(probe, gallery, table, basePairs);
    return count == 0 ? -1 : AlignBasePairs(probe, gallery, basePairs, count, nullptr);
}

// The comparison of two usable records, likewise; `details` as for
// AlignBasePairs.
int32_t ScorePreparedPair(const ProbeRecord& probe, const GalleryRecord& gallery, int32_t path,
                          BasePair* basePairs, AlignmentExplanation* details = nullptr) {
    const int32_t count = SelectForPair(probe, gallery, path, basePairs);
    return count == 0 ? -1 : AlignBasePairs(probe, gallery, basePairs, count, details);
}

int32_t ScorePreparedPair(const ProbeRecord& probe, const GalleryRecord& gallery, int32_t path) {
    BasePair basePairs[3] = {};
    return ScorePreparedPair(probe, gallery, path, basePairs);
}

namespace {

// What ExplainMatch keeps besides the score: the decoded minutiae (the
// probe's reordered) and each base pair's alignment, in final order. Its own
// function, so the scoring path's frame does not carry the alignments.
__attribute__((noinline)) int32_t Explain(const uint8_t* probeTemplate, const uint8_t* galleryTemplate,
                                          MatchExplanation* out) {
    ProbeRecord probe;
    GalleryRecord gallery;
    out->probeCode = FillProbe(probeTemplate, &probe);
    out->galleryCode = FillGallery(galleryTemplate, &gallery);
    auto keep = [](const RecordHeader& h, const FeatureStorage& storage, int32_t code, Minutia* to, int32_t* count) {
        if (code != FPMATCH_DECODED) return;
        *count = h.minutiaCount;
        std::memcpy(to, storage.minutiae, sizeof(Minutia) * static_cast<size_t>(h.minutiaCount));
    };
    keep(probe.header, probe.storage, out->probeCode, out->probeMinutiae, &out->probeCount);
    keep(gallery.header, gallery.storage, out->galleryCode, out->galleryMinutiae, &out->galleryCount);
    if (out->probeCode != FPMATCH_DECODED || out->galleryCode != FPMATCH_DECODED) return 0;
    BasePair basePairs[3] = {};
    AlignmentExplanation details[3] = {};
    const int32_t score = ScorePreparedPair(probe, gallery, BestPath(), basePairs, details);
    if (score < 0) return 0;
    // CalcLastScore reorders the base pairs; their alignments follow them (a
    // base pair's two minutiae name it uniquely).
    int32_t count = 0;
    while (count < 3 && basePairs[count].pairScore > 0) ++count;
    bool used[3] = {};
    out->basePairCount = count;
    for (int32_t i = 0; i < count; ++i) {
        for (int32_t j = 0; j < count; ++j) {
            if (used[j] || details[j].basePair.probeIndex != basePairs[i].probeIndex ||
                details[j].basePair.galleryIndex != basePairs[i].galleryIndex)
                continue;
            used[j] = true;
            out->alignments[i] = details[j];
            break;
        }
        out->alignments[i].basePair = basePairs[i];
    }
    return score;
}

}  // namespace

// Outcome of one gallery template against a usable probe.
int32_t TemplateOutcome(const ProbeRecord& probe, const uint8_t* galleryTemplate, int32_t path) {
    GalleryRecord gallery;
    if (FillGallery(galleryTemplate, &gallery) != FPMATCH_DECODED) return FPMATCH_OUTCOME_NOT_DECODED;
    const int32_t score = ScorePreparedPair(probe, gallery, path);
    return score < 0 ? FPMATCH_OUTCOME_NO_BASE_PAIR : score;
}

int32_t ScoreTemplates(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    ProbeRecord probe;
    if (FillProbe(probeTemplate, &probe) != FPMATCH_DECODED) return 0;
    const int32_t outcome = TemplateOutcome(probe, galleryTemplate, BestPath());
    return outcome < 0 ? 0 : outcome;
}

namespace {

int32_t MatchPreparedWith(const PreparedProbe* probe, const uint8_t* galleryTemplate, int32_t path) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr || galleryTemplate == nullptr) return 0;
    const int32_t outcome = TemplateOutcome(*p, galleryTemplate, path);
    return outcome < 0 ? 0 : outcome;
}

int32_t MatchPreparedPairWith(const PreparedProbe* probe, const PreparedGallery* gallery, int32_t path) {
    const ProbeRecord* p = UsableProbe(probe);
    const GalleryRecord* g = UsableGallery(gallery);
    if (p == nullptr || g == nullptr) return 0;
    const int32_t score = ScorePreparedPair(*p, *g, path);
    return score < 0 ? 0 : score;
}

}  // namespace

int32_t MatchPreparedOnPath(const PreparedProbe* probe, const uint8_t* galleryTemplate, int32_t path) {
    return MatchPreparedWith(probe, galleryTemplate, UsablePath(path));
}

int32_t MatchPreparedPairOnPath(const PreparedProbe* probe, const PreparedGallery* gallery, int32_t path) {
    return MatchPreparedPairWith(probe, gallery, UsablePath(path));
}

}  // namespace fpmatch::detail

extern "C" {

using namespace fpmatch::detail;

int32_t PrepareProbe(const uint8_t* probeTemplate, PreparedProbe* prepared) {
    if (prepared == nullptr) return FPMATCH_NULL_INPUT;
    // Every byte of the record is written, so that its bytes depend only on
    // the template.
    std::memset(prepared, 0, sizeof(*prepared));
    return FillProbe(probeTemplate, reinterpret_cast<ProbeRecord*>(prepared));
}

int32_t PrepareGallery(const uint8_t* galleryTemplate, PreparedGallery* prepared) {
    if (prepared == nullptr) return FPMATCH_NULL_INPUT;
    std::memset(prepared, 0, sizeof(*prepared));
    return FillGallery(galleryTemplate, reinterpret_cast<GalleryRecord*>(prepared));
}

int32_t MatchPrepared(const PreparedProbe* probe, const uint8_t* galleryTemplate) {
    return MatchPreparedWith(probe, galleryTemplate, BestPath());
}

int32_t MatchPreparedPair(const PreparedProbe* probe, const PreparedGallery* gallery) {
    return MatchPreparedPairWith(probe, gallery, BestPath());
}

int32_t MatchPreparedList(const PreparedProbe* probe, const uint8_t* list, int32_t stride, int32_t firstIndex,
                          int32_t entryCount, int32_t* outcomes) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr || list == nullptr || outcomes == nullptr) return -1;
    const int32_t path = BestPath();
    int32_t written = 0;
    for (int64_t i = firstIndex; written < entryCount && i <= INT32_MAX; ++i)
        outcomes[written++] = TemplateOutcome(*p, list + i * static_cast<int64_t>(stride), path);
    return written;
}

int32_t ExplainMatch(const uint8_t* probeTemplate, const uint8_t* galleryTemplate, MatchExplanation* out) {
    if (probeTemplate == nullptr || galleryTemplate == nullptr || out == nullptr) return -1;
    std::memset(out, 0, sizeof(*out));
    out->score = Explain(probeTemplate, galleryTemplate, out);
    return out->score;
}

int32_t MatchListFp(const uint8_t* probeTemplate, const uint8_t* list, int32_t stride, int32_t firstIndex,
                    int32_t entryCount, int32_t threshold, int32_t* foundIndex, int32_t* foundScore) {
    // The first entry reaching the threshold; an entry that does not decode
    // or shares no base pair with the probe ends the search. Offsets are
    // 64-bit so lists beyond 2 GiB are reached; an entry past index
    // INT32_MAX could not be reported in foundIndex, so the search ends there.
    ProbeRecord probe;
    if (FillProbe(probeTemplate, &probe) != FPMATCH_DECODED) return 0;
    const int32_t path = BestPath();
    const int64_t end = static_cast<int64_t>(firstIndex) + entryCount;
    for (int64_t i = firstIndex; i < end && i <= INT32_MAX; ++i) {
        const int32_t outcome = TemplateOutcome(probe, list + i * static_cast<int64_t>(stride), path);
        if (outcome < 0) return 0;
        if (outcome >= threshold) {
            *foundIndex = static_cast<int32_t>(i);
            *foundScore = outcome;
            return 1;
        }
    }
    return 0;
}

int32_t SearchTopK(const PreparedProbe* probe, const uint8_t* list, int32_t stride, int32_t firstIndex,
                   int32_t entryCount, int32_t k, SearchHit* hits) {
    const ProbeRecord* p = UsableProbe(probe);
    if (p == nullptr || list == nullptr || (hits == nullptr && k > 0)) return -1;
    if (k <= 0) return 0;
    const int32_t path = BestPath();
    int32_t filled = 0, compared = 0;
    for (int64_t i = firstIndex; compared < entryCount && i <= INT32_MAX; ++i, ++compared) {
        int32_t score = TemplateOutcome(*p, list + i * static_cast<int64_t>(stride), path);
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
    return filled;
}

}  // extern "C"
