// Turning a loaded template into another form with the library's writers,
// and saying exactly what did not fit when a writer refuses.
#ifndef FPMATCH_TOOL_CONVERSION_H
#define FPMATCH_TOOL_CONVERSION_H

#include <cstdint>
#include <string>

#include "template_load.h"

namespace fpmatch::tool {

enum class WriteTarget { Native, Short };

// Why a writer refused `fs` with `code`: the first minutia or singular point
// that does not fit the target's documented ranges, by index and values;
// the library's plain message when none can be named.
std::string WriteRefusal(const FeatureSet& fs, int32_t code, WriteTarget target);

// The 512-byte short template of a checked template (a short template is
// taken as it is). On failure returns false and sets `reason`.
bool MakeShortTemplate(const Template& t, uint8_t* out, std::string* reason);

}  // namespace fpmatch::tool

#endif
