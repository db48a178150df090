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

#include <emmintrin.h>

#include "internal.h"
#include "internal_paths.h"
#include "prepared_layout.h"

namespace fpmatch::detail {

namespace {

constexpr int32_t kNeighbourRadiusSquared = 110 * 110;
constexpr int32_t kReferenceStartScore = 150;

void ClearHeader(RecordHeader* h, uint32_t magic) {
    std::memset(h, 0, sizeof(*h));
    h->magic = magic;
    h->layout = kLayoutVersion;
}

// Decodes into the record's storage; the probe is reordered. Returns the
// decoder's code.
int32_t DecodeInto(const uint8_t* tmpl, RecordHeader* h, FeatureStorage* storage, bool reorder) {
    FeatureSet fs;
    BindFeatureSet(&fs, storage);
    h->status = DecodeFeature(tmpl, &fs);
    if (h->status != FPMATCH_DECODED) return h->status;
    if (reorder) {
        Minutia scratch[kMaxMinutiae];
        MinutiaMoveTop(&fs, fs.minutiae, scratch);
    }
    h->width = fs.width;
    h->height = fs.height;
    h->minutiaCount = fs.minutiaCount;
    h->format = fs.format;
    h->quality = fs.quality;
    return h->status;
}

// The topology graph in compact rows, each in increasing neighbour index:
// the edges BuildTopoGraph keeps, with the same fields. Which pairs lie within
// 110 pixels is found four at a time: coordinate differences fit 16 bits
// (decoded coordinates lie in -256..16383), and one multiply-add gives
// dx * dx + dy * dy exactly in 32 bits (SSE2, baseline x86-64).
void BuildRows(const Minutia* m, int32_t n, CompactEdge (*rows)[kMaxRowEdges], uint8_t* counts) {
    std::memset(counts, 0, kMaxMinutiae);
    alignas(16) int16_t xy[2 * (kMaxMinutiae + 4)] = {};
    for (int32_t i = 0; i < n; ++i) {
        xy[2 * i] = static_cast<int16_t>(m[i].x);
        xy[2 * i + 1] = static_cast<int16_t>(m[i].y);
    }
    const __m128i limit = _mm_set1_epi32(kNeighbourRadiusSquared + 1), zero = _mm_setzero_si128();
    for (int32_t i = 0; i < n; ++i) {
        const int32_t ownAngle = FoldDirection(m[i].angle);
        const __m128i own = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(xy[2 * i]) |
                                                                static_cast<uint32_t>(static_cast<uint16_t>(xy[2 * i + 1])) << 16));
        // Candidates j > i, four per step from the first multiple of four.
        for (int32_t base = (i + 1) & ~3; base < n; base += 4) {
            const __m128i d = _mm_sub_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(xy + 2 * base)), own);
            const __m128i s = _mm_madd_epi16(d, d);
            // 0 < s <= 12100; coincident minutiae (s = 0) are not neighbours.
            const __m128i within = _mm_and_si128(_mm_cmplt_epi32(s, limit), _mm_cmpgt_epi32(s, zero));
            uint32_t mask = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(within)));
            for (; mask != 0; mask &= mask - 1) {
                const int32_t j = base + __builtin_ctz(mask);
                if (j <= i || j >= n) continue;
                const int32_t dx = m[j].x - m[i].x, dy = m[j].y - m[i].y;
                const int32_t dist = TableSqrt(dy, dx);
                const int32_t theta = TableAtan(dy, dx);
                const int32_t otherAngle = FoldDirection(m[j].angle);
                int32_t r = otherAngle - ownAngle;
                if (r < 0) r += 360;
                int32_t a = theta - ownAngle;
                if (a < 0) a += 360;
                int32_t b = theta + 180 - otherAngle;
                if (b < 0) {
                    b += 360;
                } else if (b > 359) {
                    b -= 360;
                }
                // Row j receives the edges of smaller owners first, then its
                // own forward edges, so both rows stay in neighbour order.
                rows[i][counts[i]++] = CompactEdge{static_cast<int16_t>(a), static_cast<int16_t>(r),
                                                   static_cast<uint8_t>(dist), m[j].type, static_cast<uint8_t>(j), 0};
                rows[j][counts[j]++] = CompactEdge{static_cast<int16_t>(b), static_cast<int16_t>(r == 0 ? 0 : 360 - r),
                                                   static_cast<uint8_t>(dist), m[i].type, static_cast<uint8_t>(i), 0};
            }
        }
    }
}

// Selection sort of a row by angle, ties as SortTopoGraph leaves them: step
// p takes the first edge (lowest position) of smallest angle among positions
// p..k-1 and swaps it with the edge at p. The same steps, without scanning:
// a bitmap of the angles still unsorted finds the smallest angle, and per
// angle a bitmap of the positions holding it finds the first of them.
// `positions` (360 words) is all zero on entry and on return.
void SortRow(CompactEdge* row, int32_t k, uint64_t* positions) {
    uint64_t angles[6] = {};  // bit v: an unsorted edge has angle v
    for (int32_t q = 0; q < k; ++q) {
        const int32_t v = row[q].angle;
        angles[v >> 6] |= uint64_t{1} << (v & 63);
        positions[v] |= uint64_t{1} << q;
    }
    for (int32_t p = 0; p < k; ++p) {
        int32_t w = 0;
        while (angles[w] == 0) ++w;
        const int32_t smallest = w * 64 + __builtin_ctzll(angles[w]);
        const int32_t chosen = __builtin_ctzll(positions[smallest]);
        const int32_t displaced = row[p].angle;
        positions[smallest] &= positions[smallest] - 1;  // the chosen edge is placed
        if (positions[smallest] == 0) angles[w] &= angles[w] - 1;
        if (chosen != p) {
            // The edge at p moves to the chosen edge's place.
            positions[displaced] = (positions[displaced] & ~(uint64_t{1} << p)) | uint64_t{1} << chosen;
            const CompactEdge t = row[p];
            row[p] = row[chosen];
            row[chosen] = t;
        }
    }
}

void BuildProbeGraph(ProbeRecord* r) {
    const int32_t n = r->header.minutiaCount;
    CompactEdge rows[kMaxMinutiae][kMaxRowEdges];
    uint8_t counts[kMaxMinutiae];
    BuildRows(r->storage.minutiae, n, rows, counts);
    std::memset(r->link, 0, sizeof r->link[0] * static_cast<size_t>(n));
    uint16_t perAngle[kTypeSlots][kAngleSlots] = {};
    uint64_t positions[360] = {};
    int32_t total = 0;
    for (int32_t i = 0; i < n; ++i) {
        SortRow(rows[i], counts[i], positions);
        const int32_t slot = TypeSlot(r->storage.minutiae[i].type);
        for (int32_t p = 0; p < counts[i]; ++p) {
            const CompactEdge& e = rows[i][p];
            r->link[i][e.neighbour] = PackLink(e);
            ++perAngle[slot][e.angle];
        }
        total += counts[i];
    }
    // angleStart[t][v] = position of the first edge of group t with angle v
    // or more; then place every edge, rows in order and each row in its
    // sorted order.
    // The counts become each angle's next free position in place.
    uint16_t (&cursor)[kTypeSlots][kAngleSlots] = perAngle;
    uint16_t below = 0;
    for (int32_t t = 0; t < kTypeSlots; ++t) {
        for (int32_t v = 0; v < kAngleSlots; ++v) {
            const uint16_t count = perAngle[t][v];
            r->angleStart[t][v] = below;
            cursor[t][v] = below;
            below = static_cast<uint16_t>(below + count);
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        const int32_t slot = TypeSlot(r->storage.minutiae[i].type);
        for (int32_t p = 0; p < counts[i]; ++p) {
            const CompactEdge& e = rows[i][p];
            const uint16_t at = cursor[slot][e.angle]++;
            r->edgeAngle[at] = e.angle;
            r->edgeDistance[at] = e.distance;
            r->edgeRelative[at] = e.relative;
            r->edgeRow[at] = static_cast<uint8_t>(i);
            r->edgeType[at] = e.type;
        }
    }
    r->edgeTotal = total;
    // Whole-vector loads may run past the last edge; keep those bytes defined.
    std::memset(r->edgeAngle + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeDistance + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeRelative + total, 0, sizeof(int16_t) * kEdgePadding);
    std::memset(r->edgeRow + total, 0, kEdgePadding);
    std::memset(r->edgeType + total, 0, kEdgePadding);
}

// Fills a probe record; `clearAll` clears every byte first so that the
// record's bytes depend only on the template.
int32_t FillProbe(const uint8_t* tmpl, ProbeRecord* r, bool clearAll) {
    if (clearAll) std::memset(r, 0, sizeof(*r));
    ClearHeader(&r->header, kProbeMagic);
    if (tmpl == nullptr) return r->header.status = FPMATCH_NULL_INPUT;
    if (DecodeInto(tmpl, &r->header, &r->storage, true) != FPMATCH_DECODED) return r->header.status;
    BuildProbeGraph(r);
    return FPMATCH_DECODED;
}

int32_t FillGallery(const uint8_t* tmpl, GalleryRecord* r, bool clearAll) {
    if (clearAll) std::memset(r, 0, sizeof(*r));
    ClearHeader(&r->header, kGalleryMagic);
    if (tmpl == nullptr) return r->header.status = FPMATCH_NULL_INPUT;
    if (DecodeInto(tmpl, &r->header, &r->storage, false) != FPMATCH_DECODED) return r->header.status;
    BuildRows(r->storage.minutiae, r->header.minutiaCount, r->rows, r->rowCount);
    return FPMATCH_DECODED;
}

// Decoded values stay within what the decoders produce; a record whose
// minutiae do not (bytes from elsewhere) is refused rather than scored.
bool PlausibleMinutiae(const RecordHeader& h, const FeatureStorage& storage) {
    if (h.width != kImageWidth || h.height != kImageHeight) return false;
    for (int32_t i = 0; i < h.minutiaCount; ++i) {
        const Minutia& m = storage.minutiae[i];
        if (m.x < -256 || m.x > 16383 || m.y < 0 || m.y > 16383 || m.angle < 0 || m.angle > 511) return false;
    }
    return true;
}

bool UsableHeader(const RecordHeader& h, uint32_t magic) {
    return h.magic == magic && h.layout == kLayoutVersion && h.status == FPMATCH_DECODED &&
           h.minutiaCount >= 1 && h.minutiaCount <= kMaxMinutiae;
}

const ProbeRecord* UsableProbe(const PreparedProbe* p) {
    if (p == nullptr) return nullptr;
    const auto* r = reinterpret_cast<const ProbeRecord*>(p);
    if (!UsableHeader(r->header, kProbeMagic) || !PlausibleMinutiae(r->header, r->storage)) return nullptr;
    if (r->edgeTotal < 0 || r->edgeTotal > kMaxEdges) return nullptr;
    return r;
}

const GalleryRecord* UsableGallery(const PreparedGallery* g) {
    if (g == nullptr) return nullptr;
    const auto* r = reinterpret_cast<const GalleryRecord*>(g);
    if (!UsableHeader(r->header, kGalleryMagic) || !PlausibleMinutiae(r->header, r->storage)) return nullptr;
    return r;
}

// A read-only FeatureSet over a record's storage, for the alignment stages.
void View(const RecordHeader& h, const FeatureStorage& storage, FeatureSet* fs) {
    BindFeatureSet(fs, const_cast<FeatureStorage*>(&storage));
    fs->width = h.width;
    fs->height = h.height;
    fs->minutiaCount = h.minutiaCount;
    fs->format = h.format;
    fs->quality = h.quality;
}

bool ContradictsReference(uint32_t probeLink, uint32_t galleryLink) {
    return Abs(LinkDistance(probeLink) - LinkDistance(galleryLink)) > 9 ||
           CircularDifference(LinkAngle(probeLink), LinkAngle(galleryLink)) > 12 ||
           CircularDifference(LinkRelative(probeLink), LinkRelative(galleryLink)) > 10;
}

// CompareTopoGraph's walk over the probe/gallery pairs, on precomputed pair
// scores: type test, pruning against the reference pair, the reference
// update and the best lists, in the same order.
int32_t SelectBasePairs(const ProbeRecord& probe, const GalleryRecord& gallery, const PairScoreTable& table,
                        BasePair* basePairs) {
    const int32_t nP = probe.header.minutiaCount;
    const Minutia* pm = probe.storage.minutiae;
    const Minutia* gm = gallery.storage.minutiae;
    int32_t referenceScore = kReferenceStartScore;
    bool haveReference = false;
    int32_t referenceProbe = -1, referenceGallery = -1;
    uint32_t galleryLink[kMaxMinutiae] = {};
    for (int32_t i = 0; i < nP; ++i) {
        BasePair rowList[3] = {};
        const uint8_t type = pm[i].type;
        // Pairs scoring 0 change nothing below (they neither become the
        // reference nor enter a list), so only the positive ones are visited,
        // in the same order.
        for (uint64_t columns = table.positive[i]; columns != 0; columns &= columns - 1) {
            const int32_t j = __builtin_ctzll(columns);
            if (type != gm[j].type) continue;
            if (haveReference) {
                const uint32_t lp = probe.link[referenceProbe][i], lg = galleryLink[j];
                if (lp != 0 && lg != 0 && ContradictsReference(lp, lg)) continue;
            }
            const int32_t score = table.score[i][j];
            if (score > referenceScore) {
                referenceScore = score;
                haveReference = true;
                referenceProbe = i;
                if (referenceGallery != j) {
                    referenceGallery = j;
                    std::memset(galleryLink, 0, sizeof galleryLink);
                    const int32_t k = gallery.rowCount[j] < kMaxRowEdges ? gallery.rowCount[j] : kMaxRowEdges;
                    for (int32_t g = 0; g < k; ++g) {
                        const CompactEdge& e = gallery.rows[j][g];
                        if (e.neighbour < kMaxMinutiae) galleryLink[e.neighbour] = PackLink(e);
                    }
                }
            }
            // Most scores cannot enter the row list; InsertBasePair would
            // discard them too.
            if (score > rowList[2].pairScore) InsertBasePair(BasePair{i, j, score, 0}, rowList, 3);
        }
        for (const BasePair& candidate : rowList)
            if (candidate.pairScore > basePairs[2].pairScore) InsertBasePair(candidate, basePairs, 3);
    }
    int32_t found = 0;
    for (int32_t t = 0; t < 3; ++t)
        if (basePairs[t].pairScore > 0) ++found;
    return found;
}

}  // namespace

// The comparison of two usable records: the score, or -1 when no base pair
// is found. With `details` (room for three), each base pair's alignment is
// kept, in the order the base pairs had before CalcLastScore sorted them.
int32_t ScorePreparedPair(const ProbeRecord& probe, const GalleryRecord& gallery, int32_t path,
                          BasePair* basePairs, AlignmentExplanation* details = nullptr) {
    PairScoreTable table;
    ComputePairScores(probe, gallery, &table, path);
    const int32_t count = SelectBasePairs(probe, gallery, table, basePairs);
    if (count == 0) return -1;
    FeatureSet p, g;
    View(probe.header, probe.storage, &p);
    View(gallery.header, gallery.storage, &g);
    ScoreBasePairs(&p, &g, basePairs, count, details);
    return CalcLastScore(basePairs, p.minutiae, g.minutiae, count);
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
    out->probeCode = FillProbe(probeTemplate, &probe, false);
    out->galleryCode = FillGallery(galleryTemplate, &gallery, false);
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
    if (FillGallery(galleryTemplate, &gallery, false) != FPMATCH_DECODED) return FPMATCH_OUTCOME_NOT_DECODED;
    const int32_t score = ScorePreparedPair(probe, gallery, path);
    return score < 0 ? FPMATCH_OUTCOME_NO_BASE_PAIR : score;
}

int32_t ScoreTemplates(const uint8_t* probeTemplate, const uint8_t* galleryTemplate) {
    ProbeRecord probe;
    if (FillProbe(probeTemplate, &probe, false) != FPMATCH_DECODED) return 0;
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
    return FillProbe(probeTemplate, reinterpret_cast<ProbeRecord*>(prepared), true);
}

int32_t PrepareGallery(const uint8_t* galleryTemplate, PreparedGallery* prepared) {
    if (prepared == nullptr) return FPMATCH_NULL_INPUT;
    return FillGallery(galleryTemplate, reinterpret_cast<GalleryRecord*>(prepared), true);
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
    if (FillProbe(probeTemplate, &probe, false) != FPMATCH_DECODED) return 0;
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
