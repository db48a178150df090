// Runs fuzz inputs through a fuzz target without a fuzzing engine: every
// file named on the command line, and every file below every directory named
// there, is passed once to LLVMFuzzerTestOneInput. Missing paths are skipped
// (seed folders generated at build time may be absent). A failed invariant
// aborts, which fails the test.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

// Descriptions and scripts that live beside the inputs.
static bool IsNote(const fs::path& p) {
    const auto ext = p.extension();
    return ext == ".md" || ext == ".txt" || ext == ".py";
}

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(arg))
                if (entry.is_regular_file() && !IsNote(entry.path())) files.push_back(entry.path());
        } else if (fs::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::printf("skipping %s (not found)\n", argv[i]);
        }
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An exact-size heap copy, as libFuzzer passes its inputs.
        std::vector<uint8_t> copy(bytes);
        static const uint8_t kEmpty = 0;
        LLVMFuzzerTestOneInput(copy.empty() ? &kEmpty : copy.data(), copy.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return 0;
}
