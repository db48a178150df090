// Shared plumbing of the fpmatch command-line tool: exit codes, reading and
// checking template files, gallery lists, decoded feature sets, parallel
// loops with progress, small formatting helpers.
#ifndef FPMATCH_TOOL_COMMON_H
#define FPMATCH_TOOL_COMMON_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fpmatch.h"

namespace fpmatch::tool {

// JSON objects keep their keys in insertion order.
using Json = nlohmann::ordered_json;

// Exit codes (documented in the README and in --help).
enum ExitCode : int {
    kExitOk = 0,        // everything read and done
    kExitSkipped = 1,   // done, but some inputs were reported and skipped
    kExitUsage = 2,     // bad command line
    kExitInput = 3,     // an input that the command cannot do without is bad
    kExitOutput = 4,    // an output file could not be written
    kExitRefused = 5,   // the library refused (conversion does not fit, adaptation failed)
    kExitInternal = 6,  // inconsistent library results (e.g. a re-run stage disagrees)
};

// One line on standard error: "fpmatch: WHAT: reason".
void Report(const std::string& what, const std::string& reason);
// Plain-language meaning of the library's refusal codes.
std::string AdaptCodeMessage(int32_t code);
std::string WriteCodeMessage(int32_t code);
// A one-off note on standard error (printed once per process per key).
void NoteOnce(const std::string& key, const std::string& text);

enum class TemplateKind { Iso, Native };

struct LoadOptions {
    bool adapt = false;  // run AdaptIsoRecord on ISO records
};

// A template file checked to be safe to hand to the library.
struct Template {
    std::string path;
    std::string name;            // file name without folders
    std::vector<uint8_t> bytes;  // what the library is given (the adapted copy with --adapt)
    std::vector<uint8_t> original;
    TemplateKind kind = TemplateKind::Native;
    bool adapted = false;
    int declaredCount = 0;       // minutia count the (possibly adapted) header declares
    bool isoQualitiesZero = false;
};

// Reads and checks a template file. On failure returns nullopt and sets
// `reason` to a one-line explanation (missing, unreadable, empty, too short for
// its header, neither format, count out of range, adaptation failed).
std::optional<Template> LoadTemplate(const std::string& path, const LoadOptions& options, std::string* reason);

// LoadTemplate for an input the command cannot do without: a failure is
// reported on standard error (the caller then exits with kExitInput).
std::optional<Template> LoadRequired(const std::string& path, const LoadOptions& options);

// Same check on bytes already in memory (used by tests and convert).
std::optional<Template> CheckBytes(const std::string& path, std::vector<uint8_t> bytes, const LoadOptions& options,
                                   std::string* reason);

// Prints the once-only hint about ISO records without minutia qualities.
void HintIfQualitiesMissing(const Template& t, const LoadOptions& options);

// Expands gallery arguments: files are taken as given, folders contribute
// their regular files (not hidden ones) sorted by name, `listFile` names one
// path per line. Problems (missing path, empty folder, unreadable list) are
// reported and counted in `problems`. Returns the paths in order.
std::vector<std::string> ExpandGallery(const std::vector<std::string>& args, const std::string& listFile,
                                       int* problems);

struct LoadedGallery {
    std::vector<Template> templates;
    int skipped = 0;
    bool aborted = false;  // --strict met a bad file
    int unexpanded = 0;    // arguments reported while expanding them
    size_t files = 0;      // paths the arguments expanded to
    // Paths reported and left out, whether while expanding or loading.
    int Left() const { return skipped + unexpanded; }
};
// Loads every path, reporting and skipping bad ones (or stopping at the first
// with `strict`).
LoadedGallery LoadGallery(const std::vector<std::string>& paths, const LoadOptions& options, bool strict);

// ExpandGallery then LoadGallery for a command's gallery arguments. Returns
// nullopt when the command must stop with kExitInput: a problem under
// `strict`, or no gallery path at all (reported).
std::optional<LoadedGallery> LoadGalleryArguments(const std::vector<std::string>& args, const std::string& listFile,
                                                  const LoadOptions& options, bool strict);

// A feature set bound to its own storage.
struct Decoded {
    FeatureSet fs{};
    Minutia minutiae[FPMATCH_MAX_MINUTIAE]{};
    SingularPoint singular[3]{};
    GndTable gnd{};
    BlockQtyMap blocks{};
    Decoded();
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    // Clears the record, rebinds it and decodes; returns the decoder's code.
    int32_t Decode(const uint8_t* bytes);
};

// Runs fn(i) for i in 0..count-1 on `threads` threads (0 = all cores); shows
// "label i/count" on standard error while it runs when that is a terminal.
void ParallelFor(size_t count, unsigned threads, const std::string& label, const std::function<void(size_t)>& fn);
unsigned ResolveThreads(unsigned requested);

std::string KindName(TemplateKind kind);
std::string TypeName(uint8_t type);
Json MinutiaJson(const Minutia& m, int index);
// Indented JSON in which objects and arrays of plain values stay on one line.
std::string DumpJson(const Json& j);
std::string Percent(double fraction, int decimals = 2);
bool WriteFile(const std::string& path, const std::string& text);
bool WriteBytes(const std::string& path, const uint8_t* data, size_t size);

}  // namespace fpmatch::tool

#endif
