// Output formats shared by the commands: JSON (nlohmann-json, its own
// indentation), CSV fields, minutiae and percentages as text.
#ifndef FPMATCH_TOOL_OUTPUT_H
#define FPMATCH_TOOL_OUTPUT_H

#include <string>

#include <nlohmann/json.hpp>

#include "fpmatch.h"

namespace fpmatch::tool {

// JSON objects keep their keys in insertion order.
using Json = nlohmann::ordered_json;

// Prints a JSON document on standard output, indented by two.
void PrintJson(const Json& j);

// Name of a decoded minutia type (0 ending, 1 bifurcation, ...).
std::string TypeName(uint8_t type);

// A minutia as a JSON object; "index" only when index >= 0.
Json MinutiaJson(const Minutia& m, int index);

// A CSV field, quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& field);

// fraction * 100 with `decimals` decimals (no % sign).
std::string Percent(double fraction, int decimals = 2);

}  // namespace fpmatch::tool

#endif
