// Unit tests of the tool's core pieces that the command-line tests cannot
// reach: the command boundary, CSV quoting, short templates of templates
// that do not decode.
#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>

#include "commands.h"
#include "conversion.h"
#include "file_io.h"
#include "output.h"
#include "report.h"

namespace fpmatch::tool {
namespace {

// Every exception ends at the boundary as one reported line and an exit code.
TEST(CommandBoundary, EveryExceptionIsReportedWithAnExitCode) {
    struct Row {
        std::function<int()> body;
        int exit;
        const char* line;
    };
    const Row rows[] = {
        {[] { return 1; }, 1, ""},
        {[]() -> int { throw OutputError("standard output", "cannot write: No space left on device"); }, kExitOutput,
         "fpmatch: standard output: cannot write: No space left on device\n"},
        {[]() -> int { throw std::runtime_error("boom"); }, kExitInternal, "fpmatch: internal error: boom\n"},
        {[]() -> int { throw std::bad_alloc(); }, kExitInternal, "fpmatch: memory: out of memory\n"},
        {[]() -> int {
             throw std::filesystem::filesystem_error("x", "some/dir", std::make_error_code(std::errc::permission_denied));
         },
         kExitInput, "fpmatch: some/dir: Permission denied\n"},
        {[]() -> int { throw 42; }, kExitInternal, "fpmatch: internal error: unknown exception\n"},
    };
    for (const Row& r : rows) {
        testing::internal::CaptureStderr();
        const int exit = RunAtBoundary(r.body);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), r.line);
        EXPECT_EQ(exit, r.exit) << r.line;
    }
}

TEST(Csv, FieldsWithCommasQuotesOrLineBreaksAreQuoted) {
    EXPECT_EQ(CsvField("DB1_B"), "DB1_B");
    EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
    EXPECT_EQ(CsvField("say \"x\""), "\"say \"\"x\"\"\"");
    EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(CsvField(""), "");
}

// A template the decoder refuses is reported with the decoder's reason, not
// as a refusal of the short template writer.
TEST(ShortTemplate, DecodeFailureSaysWhy) {
    Template t;
    t.kind = TemplateKind::Native;
    t.bytes.assign(60, 0);
    t.bytes[0] = 4;  // version
    t.bytes[3] = 1;
    uint8_t out[FPMATCH_SHORT_TEMPLATE_SIZE];
    std::string reason;
    EXPECT_FALSE(MakeShortTemplate(t, out, &reason));
    EXPECT_EQ(reason, "does not decode: native template version byte is not 3");
    t.bytes[0] = 3;
    t.bytes[3] = 0;
    EXPECT_FALSE(MakeShortTemplate(t, out, &reason));
    EXPECT_EQ(reason, "does not decode: minutia count outside 1..50");
}

}  // namespace
}  // namespace fpmatch::tool
