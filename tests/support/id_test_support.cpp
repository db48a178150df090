#include "id_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fpmatch::test {

std::vector<Enrolment> GeneratedEnrolments(int subjects, int impressions) {
    std::vector<Enrolment> out;
    for (int s = 0; s < subjects; ++s)
        for (int i = 1; i <= impressions; ++i)
            out.push_back({"s" + std::to_string(s), samples::MakeDemoTemplate(s + 1, i, false, true)});
    return out;
}

void WriteGallery(const std::string& path, const std::vector<Enrolment>& enrolments, int commitEvery) {
    FpmGallery* g = nullptr;
    ASSERT_EQ(FpmGalleryCreate(path.c_str(), &g), FPM_OK) << FpmLastErrorDetail();
    int pending = 0;
    for (const Enrolment& e : enrolments) {
        ASSERT_EQ(FpmGalleryAdd(g, e.subject.c_str(), e.bytes.data(), e.bytes.size(), 0), FPM_OK)
            << FpmLastErrorDetail();
        if (commitEvery > 0 && ++pending == commitEvery) {
            ASSERT_EQ(FpmGalleryCommit(g), FPM_OK) << FpmLastErrorDetail();
            pending = 0;
        }
    }
    ASSERT_EQ(FpmGalleryCommit(g), FPM_OK) << FpmLastErrorDetail();
    FpmGalleryClose(g);
}

void Model::Add(const Enrolment& e) {
    entries.push_back(e);
    removed.push_back(false);
}

void Model::Remove(const std::string& subject) {
    for (size_t k = 0; k < entries.size(); ++k)
        if (entries[k].subject == subject) removed[k] = true;
}

std::vector<FpmHit> Model::Rank(const Bytes& probe, bool byEntry, int32_t top, int32_t threshold) const {
    std::vector<FpmHit> all;
    for (size_t k = 0; k < entries.size(); ++k) {
        if (removed[k]) continue;
        FpmHit h{};
        h.entry = static_cast<int64_t>(k);
        h.score = Match2Score(probe.data(), entries[k].bytes.data());
        h.subjectLength = static_cast<int32_t>(entries[k].subject.size());
        std::memcpy(h.subject, entries[k].subject.c_str(), entries[k].subject.size() + 1);
        all.push_back(h);
    }
    std::stable_sort(all.begin(), all.end(), [](const FpmHit& a, const FpmHit& b) {
        return a.score != b.score ? a.score > b.score : a.entry < b.entry;
    });
    std::vector<FpmHit> out;
    std::set<std::string> seen;
    for (const FpmHit& h : all) {
        if (h.score < threshold || (top > 0 && static_cast<int32_t>(out.size()) == top)) break;
        if (!byEntry && !seen.insert(h.subject).second) continue;
        out.push_back(h);
    }
    return out;
}

std::string Describe(const std::vector<FpmHit>& hits) {
    std::ostringstream s;
    for (const FpmHit& h : hits) s << h.subject << ":" << h.score << ":" << h.entry << "\n";
    return s.str();
}

TempDir::TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "fpmatch-id-XXXXXX").string();
    path = mkdtemp(t.data());
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace fpmatch::test
