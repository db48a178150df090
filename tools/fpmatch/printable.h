// How names (file names, gallery entry names) appear in the tool's text
// output and reports: one escaping rule, so that a line break or a tab in a
// name never splits a result line and no control byte reaches a terminal.
#ifndef FPMATCH_TOOL_PRINTABLE_H
#define FPMATCH_TOOL_PRINTABLE_H

#include <string>
#include <string_view>

namespace fpmatch::tool {

// `text` with every byte a terminal could act on escaped: backslash as \\,
// line feed, tab and carriage return as \n, \t, \r, other control bytes
// (C0, DEL, and C1 controls written in UTF-8) and bytes that are not part of
// well-formed UTF-8 as \xHH. Everything else, including printable non-ASCII
// UTF-8, is kept. JSON and CSV outputs have their own quoting and do not use
// this.
std::string Printable(std::string_view text);

}  // namespace fpmatch::tool

#endif
