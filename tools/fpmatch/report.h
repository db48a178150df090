// What the tool says on standard error, and the exit codes it ends with.
// Every line is "PROGRAM: WHAT: reason" (PROGRAM: fpmatch, or the name set
// with SetProgramName), escaped as Printable escapes names; a progress line
// in progress is closed first, so reports never mix into it.
#ifndef FPMATCH_TOOL_REPORT_H
#define FPMATCH_TOOL_REPORT_H

#include <cstdint>
#include <string>

namespace fpmatch::tool {

// Exit codes (documented in the README and in --help).
enum ExitCode : int {
    kExitOk = 0,        // everything read and done
    kExitSkipped = 1,   // done, but some inputs were reported and skipped
    kExitUsage = 2,     // bad command line
    kExitInput = 3,     // an input that the command cannot do without is bad
    kExitOutput = 4,    // an output (file or standard output) could not be written
    kExitRefused = 5,   // the library refused (conversion does not fit, adaptation failed)
    kExitInternal = 6,  // inconsistent library results, or an unexpected failure
};

// The name that starts every line on standard error ("fpmatch" unless set;
// fpmatch-mpi sets its own). Call before any report.
void SetProgramName(const std::string& name);

// One line on standard error: "PROGRAM: WHAT: reason".
void Report(const std::string& what, const std::string& reason);

// A one-off note on standard error (printed once per process per key).
void NoteOnce(const std::string& key, const std::string& text);

// One line of information on standard error: "fpmatch: TEXT" (what was
// written where, for example).
void Inform(const std::string& text);

// The progress line's text: "LABEL done/total (P%), R/s, T left" while a loop
// runs (rate and time left once a step is done and time has passed), "LABEL
// total/total in T (R/s)" once it is done. `seconds`: time since the start.
std::string ProgressText(const std::string& label, size_t done, size_t total, double seconds);

// Shows ProgressText on standard error as a line left open (rewritten in
// place) until the next report or EndProgress. See Progress (parallel.h).
void ShowProgress(const std::string& label, size_t done, size_t total, double seconds);
// A whole line of progress text (the rest of the line cleared), left open
// like ShowProgress.
void ShowProgressLine(const std::string& text);
void EndProgress();

// Whether standard error is a terminal (progress is shown only then).
bool ProgressWanted();

// The meaning of a core library code: the identification library's text
// (one table for every program built on the libraries) without its lead word
// naming the family ("template: ", "ISO record: "), which the tool's message
// names in its own words; "library code N" for a code without a text.
std::string CoreCodeText(int32_t family, int32_t code);
// The same for the decoders', AdaptIsoRecord's and the writers' codes.
std::string DecodeCodeMessage(int32_t code);
std::string AdaptCodeMessage(int32_t code);
std::string WriteCodeMessage(int32_t code);

}  // namespace fpmatch::tool

#endif
