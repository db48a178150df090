// Unit tests of the tool's gallery pieces: enrolment lists as read, and the
// library's texts and codes as the tool reports them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gallery.h"
#include "id_gallery.h"
#include "report.h"

namespace fpmatch::tool {
namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() : path_(fs::temp_directory_path() / ("fpmatch-gallery-" + std::to_string(::getpid()))) {
        fs::create_directories(path_ / "f");
    }
    ~Folder() { fs::remove_all(path_); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return (path_ / name).string();
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// One row per kind of list line: what it enrols under which subject.
TEST(EnrolmentList, LinesGiveSubjectAndPath) {
    Folder d;
    d.Write("f/a_1.iso", "x");
    d.Write("f/b_1.iso", "x");
    const std::string list = d.Write(
        "list.txt",
        "# a comment\n"
        "\n"
        "alice\tone.iso\n"             // SUBJECT<TAB>PATH, relative to the list's folder
        "two.iso\n"                    // PATH alone: the default subject
        "  bob  \t  /abs/three.iso \r\n"  // spaces around both, a CR line end
        "carol\tf\n"                   // a folder: its files under the subject
        "with space\tfour.iso\n");
    int problems = 0;
    const std::vector<EnrolItem> items = ExpandEnrolment({d / "f/a_1.iso"}, list, "given", &problems);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"given", d / "f/a_1.iso"},
        {"alice", d / "one.iso"},
        {"given", d / "two.iso"},
        {"bob", "/abs/three.iso"},
        {"carol", d / "f/a_1.iso"},
        {"carol", d / "f/b_1.iso"},
        {"with space", d / "four.iso"},
    };
    ASSERT_EQ(items.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(items[k].subject, want[k].first) << k;
        EXPECT_EQ(items[k].path, want[k].second) << k;
    }
    EXPECT_EQ(problems, 0);
}

TEST(EnrolmentList, WithoutSubjectTheSubjectIsLeftToThePath) {
    Folder d;
    int problems = 0;
    const auto items = ExpandEnrolment({"x/101_1.iso"}, d.Write("l.txt", "y/102_2.iso\n"), "", &problems);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].subject, "");
    EXPECT_EQ(items[1].subject, "");
    testing::internal::CaptureStderr();
    ExpandEnrolment({}, d / "none.txt", "", &problems);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("none.txt: cannot read list"), std::string::npos);
    EXPECT_EQ(problems, 1);
}

// The library's detail, without the path the tool names itself; its code
// text when a call left no detail.
TEST(LibraryTexts, DetailWithoutTheNamedPath) {
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryOpen("/nonexistent/g.fpg", FPM_OPEN_READ, &g);
    ASSERT_EQ(rc, FPM_E_NO_FILE);
    EXPECT_EQ(LibraryText(rc, "/nonexistent/g.fpg"), "no such file");
    EXPECT_EQ(LibraryText(rc), "/nonexistent/g.fpg: no such file");
    EXPECT_EQ(LibraryText(rc, "/other.fpg"), "/nonexistent/g.fpg: no such file");
    ASSERT_EQ(FpmMergeHits(nullptr, 0, 1, 10, 0, nullptr, 0), 0);  // a success clears the detail
    EXPECT_EQ(LibraryText(FPM_E_LOCKED), FpmCodeText(FPM_E_LOCKED));
}

TEST(LibraryTexts, ExitCodes) {
    struct Row {
        int32_t code;
        bool writing;
        int exit;
    };
    const Row rows[] = {
        {FPM_E_NO_FILE, false, kExitInput},   {FPM_E_NO_FILE, true, kExitOutput},
        {FPM_E_IO, false, kExitInput},        {FPM_E_IO, true, kExitOutput},
        {FPM_E_EXISTS, true, kExitOutput},    {FPM_E_LOCKED, true, kExitInput},
        {FPM_E_DAMAGED, false, kExitInput},   {FPM_E_NO_MEMORY, false, kExitInternal},
        {FPM_E_NO_MEMORY, true, kExitInternal}, {FPM_E_UNKNOWN_SUBJECT, true, kExitInput},
    };
    for (const Row& r : rows) EXPECT_EQ(ExitForCode(r.code, r.writing), r.exit) << r.code << " " << r.writing;
    // Template and ISO refusals, and nothing else, are the probe's or the file's.
    EXPECT_TRUE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, 1)));
    EXPECT_TRUE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, 4)));
    EXPECT_TRUE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_ADAPT, -1)));
    EXPECT_TRUE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_ADAPT, -11)));
    EXPECT_FALSE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_GALLERY, -2)));
    EXPECT_FALSE(IsTemplateCode(FpmFromCoreCode(FPM_FAMILY_WRITE, -1)));
    EXPECT_FALSE(IsTemplateCode(FPM_E_DAMAGED));
    EXPECT_FALSE(IsTemplateCode(FPM_E_NOT_SCREENABLE));
}

}  // namespace
}  // namespace fpmatch::tool
