// Unit tests of the tool's core pieces that the command-line tests cannot
// reach: the command boundary, CSV quoting, short templates of templates
// that do not decode, names as text output shows them, the progress line.
#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <stdexcept>

#include "commands.h"
#include "conversion.h"
#include "file_io.h"
#include "output.h"
#include "printable.h"
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
    EXPECT_EQ(reason, "does not decode: the native version byte is not 3");
    t.bytes[0] = 3;
    t.bytes[3] = 0;
    EXPECT_FALSE(MakeShortTemplate(t, out, &reason));
    EXPECT_EQ(reason, "does not decode: the minutia count is outside 1..50");
}

// The tool words core codes with the identification library's texts, less
// the family's lead word; a code without a text is shown by number.
TEST(CoreCodeText, LibraryTextsWithoutTheLeadWord) {
    struct Row {
        std::string (*text)(int32_t);
        int32_t code;
        const char* expected;
    };
    const Row rows[] = {
        {DecodeCodeMessage, FPMATCH_TRUNCATED, "shorter than its header declares"},
        {DecodeCodeMessage, 9, "library code 9"},
        {AdaptCodeMessage, FPMATCH_ADAPT_BAD_IDENTIFIER, "does not start with \"FMR\""},
        {AdaptCodeMessage, -99, "library code -99"},
        {WriteCodeMessage, FPMATCH_WRITE_TOO_SMALL, "the output buffer is too small"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.text(row.code), row.expected) << row.code;
}

// One escaping rule for names in text output: printable UTF-8 as it is,
// everything a terminal would act on (and the backslash) escaped.
TEST(Printable, ControlBytesAndBrokenUtf8AreEscaped) {
    const std::pair<std::string, std::string> rows[] = {
        {"DB1_B/101_1.iso", "DB1_B/101_1.iso"},
        {"", ""},
        {"a\nb.iso", "a\\nb.iso"},
        {"t\tab", "t\\tab"},
        {"cr\r", "cr\\r"},
        {"back\\slash", "back\\\\slash"},
        {"c\x1b[31md", "c\\x1b[31md"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x7f", "\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x91\x8d", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x91\x8d"},
        {"\xc2\xa0", "\xc2\xa0"},              // U+00A0, printable
        {"\xc2\x9b", "\\xc2\\x9b"},          // U+009B, a C1 control (CSI)
        {"\xff", "\\xff"},
        {"\xc3", "\\xc3"},                     // cut short at the end
        {"\xc3x", "\\xc3x"},                   // cut short by another byte
        {"\xc0\xaf", "\\xc0\\xaf"},          // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},  // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // above U+10FFFF
    };
    for (const auto& [name, shown] : rows) EXPECT_EQ(Printable(name), shown) << shown;
}

// The progress line: count, share, rate and time left while running; the
// time taken and the rate once done.
TEST(Progress, CountRateAndTime) {
    struct Row {
        size_t done, total;
        double seconds;
        const char* text;
    };
    const Row rows[] = {
        {0, 100, 0.0, "scored 0/100"},
        {0, 100, 5.0, "scored 0/100"},
        {50, 100, 0.0, "scored 50/100 (50%)"},
        {50, 100, 2.0, "scored 50/100 (50%), 25/s, 2.0 s left"},
        {999, 1000, 9.99, "scored 999/1000 (99%), 100/s, 0.0 s left"},
        {1, 3, 10.0, "scored 1/3 (33%), 0.1/s, 20 s left"},
        {60, 180, 30.0, "scored 60/180 (33%), 2.0/s, 1 min 00 s left"},
        {1000, 1000000, 10.0, "scored 1000/1000000 (0%), 100/s, 2 h 46 min left"},
        {100, 100, 4.0, "scored 100/100 in 4.0 s (25/s)"},
        {12000, 12000, 0.4, "scored 12000/12000 in 0.4 s (30000/s)"},
        {12000, 12000, 75.0, "scored 12000/12000 in 1 min 15 s (160/s)"},
        {5, 5, 0.0, "scored 5/5 in 0.0 s"},
    };
    for (const Row& r : rows) EXPECT_EQ(ProgressText("scored", r.done, r.total, r.seconds), r.text);
}

}  // namespace
}  // namespace fpmatch::tool
