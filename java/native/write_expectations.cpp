// Writes the calls of MatchTemplates that the Java test makes, each with the
// score the C API gives for it, to one file the Java test reads:
//
//   "FPJX", int version 1, int case count, then per case:
//   UTF name, int probe array length, bytes, int listLength,
//   int gallery array length, bytes, int stride, int expected score.
//
// Integers are big-endian and the name is in DataOutputStream.writeUTF form,
// as java.io.DataInputStream reads them.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "binding_cases.h"

namespace {

void PutInt(std::ofstream& out, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    const char b[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                       static_cast<char>(u)};
    out.write(b, 4);
}

void PutBytes(std::ofstream& out, const std::vector<uint8_t>& bytes) {
    PutInt(out, static_cast<int32_t>(bytes.size()));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " OUTPUT_FILE FVC2002_DIR\n";
        return 2;
    }
    const auto cases = fpmatch::java_test::MakeBindingCases(argv[2]);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write("FPJX", 4);
    PutInt(out, 1);
    PutInt(out, static_cast<int32_t>(cases.size()));
    int failures = 0;
    for (const auto& c : cases) {
        const int32_t expected = fpmatch::java_test::ExpectedBest(c);
        // Where every listed template is whole, the checked loop must agree
        // with the plain one.
        if (c.wellFormed && expected != fpmatch::java_test::UncheckedBest(c)) {
            std::cerr << "case \"" << c.name << "\": checked and plain loops disagree\n";
            ++failures;
        }
        out.put(static_cast<char>(c.name.size() >> 8));
        out.put(static_cast<char>(c.name.size()));
        out.write(c.name.data(), static_cast<std::streamsize>(c.name.size()));
        PutBytes(out, c.probeList);
        PutInt(out, c.listLength);
        PutBytes(out, c.gallery);
        PutInt(out, c.stride);
        PutInt(out, expected);
        std::cout << c.name << ": expected " << expected << "\n";
    }
    out.close();
    if (!out) {
        std::cerr << "cannot write " << argv[1] << "\n";
        return 1;
    }
    std::cout << cases.size() << " cases written to " << argv[1] << "\n";
    return failures == 0 ? 0 : 1;
}
