// libfpmatch-id exports exactly its frozen C interface
// (tests/exported_symbols_id.txt, every name prefixed Fpm), and the header
// declares every one of them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "fpmatch_id.h"

namespace {

std::set<std::string> Lines(const std::string& command) {
    std::set<std::string> out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty()) out.insert(s);
    }
    pclose(p);
    return out;
}

std::set<std::string> Frozen() {
    std::set<std::string> out;
    std::ifstream in(std::string(FPMATCH_SOURCE_DIR) + "/tests/exported_symbols_id.txt");
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line[0] != '#') out.insert(line);
    return out;
}

}  // namespace

TEST(IdAbi, ExportsExactlyTheFrozenList) {
    const auto exported = Lines("nm -D --defined-only '" FPMATCH_ID_LIBRARY_FILE "' | awk '{print $3}' | grep -v '^__'");
    ASSERT_FALSE(exported.empty()) << "nm found no symbol";
    EXPECT_EQ(exported, Frozen());
}

TEST(IdAbi, HeaderDeclaresEveryExport) {
    std::ifstream in(std::string(FPMATCH_SOURCE_DIR) + "/include/fpmatch_id.h");
    std::stringstream text;
    text << in.rdbuf();
    for (const std::string& name : Frozen())
        EXPECT_NE(text.str().find(name + "("), std::string::npos) << name << " is exported but not declared";
}
