// Calls of MatchTemplates shared by the native binding test (through a fake
// JNI environment) and the Java test (through a real JVM, with expectations
// written by write_expectations). Every expected score comes from the C API:
// Match2Fp on each listed probe that lies wholly inside its array, best kept.
#ifndef FPMATCH_JAVA_BINDING_CASES_H
#define FPMATCH_JAVA_BINDING_CASES_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fpmatch::java_test {

using Bytes = std::vector<uint8_t>;

struct BindingCase {
    std::string name;
    Bytes probeList;   // the whole Java array
    int32_t listLength;
    Bytes gallery;     // the whole Java array
    int32_t stride;
    // Every listed probe lies inside the array and the gallery is whole, so
    // the plain unchecked loop over Match2Fp gives the same result.
    bool wellFormed;
    // What the case is built to show, checked against Match2Fp by the native
    // test: the result is the score of the probe at byte `bestAt` (-1: not
    // stated), and a copy of the gallery that lies in the array but must not
    // be compared (not listed, or cut off) would have scored higher.
    int64_t bestAt = -1;
    bool galleryCopyExcluded = false;
};

// Synthetic cases always; FVC2002 cases when `fvcRoot` holds DB1_B..DB4_B.
std::vector<BindingCase> MakeBindingCases(const std::filesystem::path& fvcRoot);

// Best Match2Fp score over probes 0 .. listLength / stride - 1 that are whole
// inside the array (CheckTemplate on the bytes left from the probe's start);
// 0 for a stride of 0 or less and for a gallery cut off by its array.
int32_t ExpectedBest(const BindingCase& c);

// The loop without any length checks: max over i of Match2Fp(list + i *
// stride, gallery). Only for well-formed cases.
int32_t UncheckedBest(const BindingCase& c);

// Per-probe Match2Fp scores of a well-formed case (diagnostics, assertions).
std::vector<int32_t> ProbeScores(const BindingCase& c);

}  // namespace fpmatch::java_test

#endif
