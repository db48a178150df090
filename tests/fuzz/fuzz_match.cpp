// Fuzz target: one-to-one comparison (Match2Score, Match2Fp).
//
// The input is two templates one after the other (each as long as its
// header declares, see DeclaredLength). Checks:
//  - the score lies in 0..100 and Match2Fp gives the same;
//  - a template the decoders reject gives 0, on either side;
//  - when CheckTemplate accepts both lengths, the comparison on exact-size
//    copies gives the same score (nothing is read beyond the template);
//  - the comparison is deterministic;
//  - the prepared probe and gallery give the same score.
#include "fuzz_common.h"

using namespace fpmatch::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint8_t *probeBytes, *galleryBytes;
    const size_t probeLength = in.TakeTemplate(&probeBytes);
    const size_t galleryLength = in.TakeTemplate(&galleryBytes);
    Slot probe(probeBytes, probeLength), gallery(galleryBytes, galleryLength);

    const int32_t score = Match2Score(probe.bytes, gallery.bytes);
    FUZZ_CHECK(score >= 0 && score <= 100);
    FUZZ_CHECK(Match2Fp(probe.bytes, gallery.bytes) == score);
    FUZZ_CHECK(Match2Score(probe.bytes, gallery.bytes) == score);

    const int32_t probeCheck = CheckTemplate(probe.bytes, kSlot);
    const int32_t galleryCheck = CheckTemplate(gallery.bytes, kSlot);
    if (probeCheck != FPMATCH_DECODED || galleryCheck != FPMATCH_DECODED) FUZZ_CHECK(score == 0);

    if (CheckTemplate(probeBytes, probeLength) == FPMATCH_DECODED &&
        CheckTemplate(galleryBytes, galleryLength) == FPMATCH_DECODED) {
        auto p = ExactCopy(probeBytes, probeLength);
        auto g = ExactCopy(galleryBytes, galleryLength);
        FUZZ_CHECK(Match2Score(p.get(), g.get()) == score);
    }

    // The prepared forms give the same score.
    static PreparedProbe preparedProbe;
    static PreparedGallery preparedGallery;
    PrepareProbe(probe.bytes, &preparedProbe);
    PrepareGallery(gallery.bytes, &preparedGallery);
    FUZZ_CHECK(MatchPreparedPair(&preparedProbe, &preparedGallery) == score);
    FUZZ_CHECK(MatchPrepared(&preparedProbe, gallery.bytes) == score);

    // The probe against itself.
    const int32_t self = Match2Score(probe.bytes, probe.bytes);
    FUZZ_CHECK(self >= 0 && self <= 100);
    if (probeCheck != FPMATCH_DECODED) FUZZ_CHECK(self == 0);
    return 0;
}
