// Fuzz target: opening and reading gallery files of the identification
// library.
//
// The input is the whole file. It is written to an anonymous in-memory file
// and opened by path; then everything a reader can ask is asked: check,
// counts, every entry (each returned byte is read), every subject, a ranked
// search by subject and by entry with and without screening, and
// verification. Any bytes must give a code or a result, never a read out
// of bounds or a crash; an accepted file's search must agree with its own
// entries (the best hit by entry scores what Match2Score gives its template).
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "synthetic.h"

namespace {

volatile uint32_t gSink;

void Touch(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) sum += p[i];
    gSink = sum;
}

const std::vector<uint8_t>& Probe() {
    static const std::vector<uint8_t> probe = fpmatch::samples::MakeDemoTemplate(1, 2, false, true);
    return probe;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_id_gallery: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("gallery", 0);
    if (fd < 0) return 0;
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    FpmGallery* g = nullptr;
    if (FpmGalleryOpen(path.c_str(), FPM_OPEN_READ, &g) == FPM_OK) {
        (void)FpmGalleryCheck(g);
        FpmGalleryStat st{};
        if (FpmGalleryGetStat(g, &st) == FPM_OK) {
            Check(st.templates == st.entries - st.removed, "counts disagree");
            for (int64_t p = 0; p < st.entries && p < 64; ++p) {
                FpmEntry e;
                if (FpmGalleryGetEntry(g, p, &e) != FPM_OK) continue;
                Touch(e.templateData, static_cast<size_t>(e.templateLength));
                if (e.shortTemplate != nullptr) Touch(e.shortTemplate, 512);
            }
            for (int64_t k = 0; k < st.subjects && k < 16; ++k) {
                char subject[FPM_SUBJECT_MAX + 1];
                int32_t n = 0;
                if (FpmGalleryGetSubject(g, k, subject, &n) == FPM_OK) {
                    FpmHit h;
                    (void)FpmGalleryVerify(g, subject, Probe().data(), Probe().size(), 0, &h);
                }
            }
        }
        const std::vector<uint8_t>& probe = Probe();
        FpmHit hits[8];
        for (int32_t mode = 0; mode < 3; ++mode) {
            FpmSearchOptions o;
            FpmSearchOptionsInit(&o);
            o.top = 8;
            o.threads = 1;
            o.byEntry = mode == 1;
            o.screen = mode == 2 ? 4 : 0;
            const int32_t n = FpmGalleryIdentify(g, probe.data(), probe.size(), &o, hits, 8);
            if (n > 0 && mode == 1) {
                // The best hit's template, found by id, scores what it was given.
                for (int64_t p = 0; p < st.entries && p < 100000; ++p) {
                    FpmEntry e;
                    if (FpmGalleryGetEntry(g, p, &e) == FPM_OK && e.id == hits[0].entry && !e.removed) {
                        std::vector<uint8_t> slot(e.templateData, e.templateData + 328);
                        Check(Match2Score(probe.data(), slot.data()) == hits[0].score, "hit score differs");
                        break;
                    }
                }
            }
        }
        FpmGalleryClose(g);
    }
    close(fd);
    return 0;
}
