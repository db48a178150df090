// Re-runs the comparison stage by stage through the library's exported
// functions, keeping what a user debugging a match wants to see: the decoded
// sets, the base pairs with their scores, and for each base pair the
// alignment (moved minutiae and the pairing).
#ifndef FPMATCH_TOOL_ANALYSIS_H
#define FPMATCH_TOOL_ANALYSIS_H

#include <memory>
#include <vector>

#include "common.h"

namespace fpmatch::tool {

struct Alignment {
    BasePair basePair{};
    RigidTransform probeToGallery{};
    RigidTransform galleryToProbe{};
    int keptProbe = 0;    // nP: probe minutiae kept in the gallery frame, base excluded
    int keptGallery = 0;  // nG
    bool overlapOk = false;
    std::vector<Minutia> keptProbeSet;     // 50 slots, probe frame (x 0 = empty)
    std::vector<Minutia> movedGallerySet;  // 50 slots, gallery moved into the probe frame
    std::vector<MinutiaPair> pairs;
    int replicatedScore = -1;  // matchScore recomputed from the components; -1 when unscored
};

struct MatchAnalysis {
    int32_t libraryScore = 0;   // Match2Score
    int32_t pipelineScore = 0;  // the stages re-run here
    int32_t probeCode = 0, galleryCode = 0;
    std::unique_ptr<Decoded> probe, gallery;  // probe reordered centre-first
    int basePairCount = 0;
    std::vector<BasePair> basePairs;  // as CalcLastScore left them (best first)
    std::vector<Alignment> alignments;  // one per base pair, same order
};

MatchAnalysis AnalyzeMatch(const Template& probe, const Template& gallery);

}  // namespace fpmatch::tool

#endif
