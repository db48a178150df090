// Helpers of the identification library's tests: generated subjects, a
// gallery written through the library, and the brute-force ranking every
// search is compared with.
#ifndef FPMATCH_ID_TEST_SUPPORT_H
#define FPMATCH_ID_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "fpmatch_id.h"
#include "test_support.h"

namespace fpmatch::test {

struct Enrolment {
    std::string subject;
    Bytes bytes;
};

// `subjects` generated fingers ("s0", "s1", ...) with `impressions` ISO
// records each, subject by subject.
std::vector<Enrolment> GeneratedEnrolments(int subjects, int impressions);

// A new gallery at `path` holding `enrolments` in order, committed every
// `commitEvery` templates (0: once).
void WriteGallery(const std::string& path, const std::vector<Enrolment>& enrolments, int commitEvery);

// The ranking by brute force: Match2Score against every live template
// (template id = order of addition), score descending, equal scores by
// lower id, by subject each subject once.
struct Model {
    std::vector<Enrolment> entries;
    std::vector<bool> removed;
    void Add(const Enrolment& e);
    void Remove(const std::string& subject);
    std::vector<FpmHit> Rank(const Bytes& probe, bool byEntry, int32_t top, int32_t threshold) const;
};

// "subject:score:entry" of each hit, one per line.
std::string Describe(const std::vector<FpmHit>& hits);

// A temporary folder removed with its files at the end of the test.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string File(const std::string& name) const { return path + "/" + name; }
};

void WriteBytes(const std::string& path, const Bytes& bytes);

}  // namespace fpmatch::test

#endif
