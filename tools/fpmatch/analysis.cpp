#include "analysis.h"

#include <algorithm>
#include <cstring>

namespace fpmatch::tool {

namespace {

int32_t Normalise(int32_t r) {
    if (r < -179) return r + 360;
    if (r > 180) return r - 360;
    return r;
}

int32_t CountPolar(const std::vector<Minutia>& set, int32_t count) {
    int32_t n = 0;
    for (int32_t j = 0; j < count; ++j)
        if (set[j].x > 0) ++n;
    return n;
}

// The alignment driver's preparation for one base pair, step for step, and
// its score from the exported components.
Alignment Align(const FeatureSet& probe, const FeatureSet& gallery, const BasePair& bp) {
    Alignment a;
    a.basePair = bp;
    const Minutia P = probe.minutiae[bp.probeIndex];
    const Minutia G = gallery.minutiae[bp.galleryIndex];
    const int32_t dx = G.x - P.x, dy = G.y - P.y;
    const int32_t r = Normalise(P.angle - G.angle);
    const int32_t r2 = Normalise(-r);
    a.probeToGallery = RigidTransform{P.x, P.y, dx, dy, r};
    a.galleryToProbe = RigidTransform{G.x, G.y, -dx, -dy, r2};

    std::vector<Minutia> movedProbe(FPMATCH_MAX_MINUTIAE), kept(FPMATCH_MAX_MINUTIAE), movedGallery(FPMATCH_MAX_MINUTIAE);
    SingularPoint movedProbeSingular[3] = {}, movedGallerySingular[3] = {};
    const int32_t kP = MinutiasTransform(&probe, kept.data(), movedProbe.data(), movedProbeSingular,
                                         gallery.gndTable->cells, a.probeToGallery);
    const int32_t kG = MinutiasTransform(&gallery, nullptr, movedGallery.data(), movedGallerySingular,
                                         probe.gndTable->cells, a.galleryToProbe);
    movedProbe[bp.probeIndex] = Minutia{};
    kept[bp.probeIndex] = Minutia{};
    movedGallery[bp.galleryIndex] = Minutia{};
    a.keptProbe = kP - 1;
    a.keptGallery = kG - 1;
    a.keptProbeSet = kept;
    a.movedGallerySet = movedGallery;
    a.overlapOk = a.keptProbe >= 3 && a.keptGallery >= 3 &&
                  (4 * a.keptProbe >= probe.minutiaCount || 4 * a.keptGallery >= gallery.minutiaCount);
    if (!a.overlapOk) return a;

    const int32_t probeCount = probe.minutiaCount, galleryCount = gallery.minutiaCount;
    PolarMinutia probePolar[FPMATCH_MAX_MINUTIAE] = {}, galleryPolar[FPMATCH_MAX_MINUTIAE] = {};
    XYtoPolar(kept.data(), static_cast<uint32_t>(probeCount), P.x, P.y, probePolar);
    XYtoPolar(movedGallery.data(), static_cast<uint32_t>(galleryCount), P.x, P.y, galleryPolar);
    // Only the entries XYtoPolar wrote for this base pair take part.
    const int32_t usableP = std::min(a.keptProbe, CountPolar(kept, probeCount));
    const int32_t usableG = std::min(a.keptGallery, CountPolar(movedGallery, galleryCount));
    MinutiaPair pairs[FPMATCH_MAX_MINUTIAE] = {};
    const int32_t m = CalcIsoPair(kept.data(), probePolar, usableP, movedGallery.data(), galleryPolar, usableG, pairs);
    a.pairs.assign(pairs, pairs + m);
    if (m == 0) return a;

    int32_t pos = 0, posNear = 0, singular = 0;
    CalcPosScore(kept.data(), movedGallery.data(), P.x, P.y, pairs, m, &pos, &posNear);
    CalcSingularScore(probe.singularPoints, gallery.singularPoints, movedProbeSingular, movedGallerySingular,
                      probe.gndTable->cells, gallery.gndTable->cells, &singular);
    pos = std::max(pos - singular, 0);
    posNear = std::max(posNear - singular, 0);
    int32_t uP = 0, uPNear = 0, uG = 0, uGNear = 0;
    CalcNegScore(G.x, G.y, pairs, m, movedProbe.data(), probeCount, gallery.blockQty->blocks, 0, &uP, &uPNear);
    CalcNegScore(P.x, P.y, pairs, m, movedGallery.data(), galleryCount, probe.blockQty->blocks, 1, &uG, &uGNear);
    const int64_t N = std::max(uP + uG, 10), NN = std::max(uPNear + uGNear, 10);
    const int64_t p64 = pos, n64 = posNear;
    int64_t score = static_cast<int32_t>(32 * p64 / std::max<int64_t>(N, 50)) + static_cast<int32_t>(p64 * p64 / (p64 + N)) +
                    static_cast<int32_t>(32 * n64 / std::max<int64_t>(NN, 50)) +
                    static_cast<int32_t>(n64 * n64 / (n64 + NN));
    if (m <= 3) score = score * m / 4;
    a.replicatedScore = static_cast<int32_t>(score / 4);
    return a;
}

}  // namespace

MatchAnalysis AnalyzeMatch(const Template& probeT, const Template& galleryT) {
    MatchAnalysis r;
    r.libraryScore = Match2Score(probeT.bytes.data(), galleryT.bytes.data());
    r.probe = std::make_unique<Decoded>();
    r.gallery = std::make_unique<Decoded>();
    r.probeCode = r.probe->Decode(probeT.bytes.data());
    if (r.probeCode != FPMATCH_DECODED) return r;
    // The gallery's minutia storage serves as scratch, as in the library.
    MinutiaMoveTop(&r.probe->fs, r.probe->fs.minutiae, r.gallery->minutiae);
    r.galleryCode = r.gallery->Decode(galleryT.bytes.data());
    if (r.galleryCode != FPMATCH_DECODED) return r;
    BasePair basePairs[3] = {};
    r.basePairCount = CalcBasePair(&r.probe->fs, &r.gallery->fs, basePairs);
    if (r.basePairCount == 0) return r;
    CalcMatchScore(&r.probe->fs, &r.gallery->fs, basePairs, r.basePairCount);
    r.pipelineScore = CalcLastScore(basePairs, r.probe->fs.minutiae, r.gallery->fs.minutiae, r.basePairCount);
    r.basePairs.assign(basePairs, basePairs + r.basePairCount);
    for (const BasePair& bp : r.basePairs) r.alignments.push_back(Align(r.probe->fs, r.gallery->fs, bp));
    return r;
}

}  // namespace fpmatch::tool
