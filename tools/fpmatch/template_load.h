// Loading one template file and checking that it is safe to hand to the
// library: the format told from its first bytes, its header against its
// length (TemplateLength / CheckTemplate), ISO records adapted on request.
#ifndef FPMATCH_TOOL_TEMPLATE_LOAD_H
#define FPMATCH_TOOL_TEMPLATE_LOAD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fpmatch.h"

namespace fpmatch::tool {

enum class TemplateKind {
    Iso,     // ISO/IEC 19794-2:2005 finger minutiae record
    Native,  // native template
    Short,   // 512-byte short screening template
};

struct LoadOptions {
    bool adapt = false;        // run AdaptIsoRecord on ISO records
    bool acceptShort = false;  // short screening templates are valid inputs (screen, info)
    bool describe = false;     // keep complete ISO records whose count the matcher refuses (info)
};

// A template file checked to be safe to hand to the library.
struct Template {
    std::string path;            // as given ("-" for standard input)
    std::string name;            // file name without folders
    std::vector<uint8_t> bytes;  // what the library is given (the adapted copy with --adapt)
    std::vector<uint8_t> original;
    TemplateKind kind = TemplateKind::Native;
    bool adapted = false;
    int declaredCount = 0;       // minutia count byte the (possibly adapted) header declares
    bool isoQualitiesZero = false;
    // With LoadOptions::describe: why the matcher refuses this template
    // (empty when it is usable).
    std::string refusal;
};

// Templates are a few hundred bytes; a file larger than this is not one.
constexpr size_t kMaxTemplateFile = 1u << 20;

// Reads and checks a template file ("-": standard input). On failure returns
// nullopt and sets `reason` to a one-line explanation.
std::optional<Template> LoadTemplate(const std::string& path, const LoadOptions& options, std::string* reason);

// LoadTemplate for an input the command cannot do without: a failure is
// reported (the caller then exits with kExitInput).
std::optional<Template> LoadRequired(const std::string& path, const LoadOptions& options);

// The same checks on bytes already in memory.
std::optional<Template> CheckBytes(const std::string& path, std::vector<uint8_t> bytes, const LoadOptions& options,
                                   std::string* reason);

// Prints the once-only hint about ISO records without minutia qualities.
void HintIfQualitiesMissing(const Template& t, const LoadOptions& options);

// Decodes a checked template into `fs`, bound to `storage`; returns the
// decoder's code.
int32_t DecodeTemplate(const Template& t, FeatureStorage* storage, FeatureSet* fs);

std::string KindName(TemplateKind kind);

}  // namespace fpmatch::tool

#endif
