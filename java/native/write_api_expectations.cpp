// Writes what the C API gives for the single-template methods and the search
// of com.vorel.JavaMatcher, for the Java test JavaMatcherApiTest to check in
// a JVM:
//
//   "FPJA", int version 1, int record count, then per record:
//     UTF name, int length, bytes, int CheckTemplate code,
//     int AdaptIsoRecord result, int adapted length, adapted bytes;
//   int pair count, then per pair: int probe, int gallery,
//     int score of the records as they are, int score of the adapted records
//     (Match2Score when both are whole and decode, else 0);
//   search: int probe record, int stride, int list length, list bytes,
//     int entry count, then per entry its score (Match2Score of the adapted
//     probe and the entry when the entry is whole and decodes, else 0).
//
// The ranking the search must return is derived from those scores by the
// Java test (score descending, equal scores by lower index). Records: the
// FVC2002 templates when present (a few of one finger, others, and the
// records of more than 50 minutiae), synthetic ISO records and native
// templates always, and records AdaptIsoRecord refuses.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "fpmatch.h"
#include "synthetic.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
    std::string name;
    Bytes bytes;
    int32_t check = 0;
    int32_t adaptResult = 0;
    Bytes adapted;  // empty when refused
};

void PutInt(std::ofstream& out, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    const char b[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                       static_cast<char>(u)};
    out.write(b, 4);
}

void PutBytes(std::ofstream& out, const Bytes& bytes) {
    PutInt(out, static_cast<int32_t>(bytes.size()));
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutUtf(std::ofstream& out, const std::string& s) {
    out.put(static_cast<char>(s.size() >> 8));
    out.put(static_cast<char>(s.size()));
    out.write(s.data(), static_cast<std::streamsize>(s.size()));
}

Bytes ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Match2Score when both buffers hold a whole, decodable template, else 0:
// what JavaMatcher.match promises.
int32_t Score(const Bytes& probe, const Bytes& gallery) {
    if (CheckTemplate(probe.data(), probe.size()) != FPMATCH_DECODED ||
        CheckTemplate(gallery.data(), gallery.size()) != FPMATCH_DECODED)
        return 0;
    return Match2Score(probe.data(), gallery.data());
}

std::vector<Record> MakeRecords(const std::filesystem::path& fvc) {
    std::vector<std::pair<std::string, Bytes>> raw;
    std::error_code ec;
    if (std::filesystem::is_directory(fvc / "DB1_B", ec)) {
        // One finger's impressions, other fingers, and DB2_B 101_1 (55
        // minutiae: refused by the decoder as it stands, usable adapted).
        for (const char* name : {"DB1_B/101_1.iso", "DB1_B/101_2.iso", "DB1_B/101_3.iso", "DB1_B/102_1.iso",
                                 "DB3_B/104_1.iso", "DB3_B/104_2.iso", "DB2_B/101_1.iso", "DB2_B/101_2.iso"}) {
            raw.emplace_back(name, ReadFile(fvc / name));
        }
    }
    using namespace fpmatch::samples;
    for (uint64_t finger : {21u, 22u}) {
        for (uint64_t impression : {1u, 2u}) {
            const auto minutiae = MakeImpression(MakeFinger(finger, 30), finger * 100 + impression);
            raw.emplace_back("synthetic ISO " + std::to_string(finger) + "_" + std::to_string(impression),
                             MakeIsoRecord(minutiae, 60));
        }
    }
    raw.emplace_back("synthetic native 21_3",
                     MakeNativeTemplate(MakeImpression(MakeFinger(21, 30), 2103), 60));
    // Refusals: a record cut short of its length field, and one whose
    // identifier is wrong.
    Bytes cut = MakeIsoRecord(MakeImpression(MakeFinger(23, 30), 2301), 60);
    cut.resize(cut.size() - 7);
    raw.emplace_back("ISO record cut by 7 bytes", cut);
    Bytes wrongId = MakeIsoRecord(MakeImpression(MakeFinger(23, 30), 2302), 60);
    wrongId[2] = 'X';
    raw.emplace_back("ISO record with identifier FMX", wrongId);

    std::vector<Record> records;
    for (auto& [name, bytes] : raw) {
        Record r;
        r.name = name;
        r.bytes = bytes;
        r.check = CheckTemplate(bytes.data(), bytes.size());
        Bytes out(bytes.size() + 1, 0);
        r.adaptResult = AdaptIsoRecord(bytes.data(), bytes.size(), out.data(), out.size());
        if (r.adaptResult >= 0) r.adapted.assign(out.begin(), out.begin() + r.adaptResult);
        records.push_back(std::move(r));
    }
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " OUTPUT_FILE FVC2002_DIR\n";
        return 2;
    }
    const std::vector<Record> records = MakeRecords(argv[2]);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write("FPJA", 4);
    PutInt(out, 1);
    PutInt(out, static_cast<int32_t>(records.size()));
    for (const Record& r : records) {
        PutUtf(out, r.name);
        PutBytes(out, r.bytes);
        PutInt(out, r.check);
        PutInt(out, r.adaptResult);
        PutBytes(out, r.adapted);
    }
    const int32_t n = static_cast<int32_t>(records.size());
    PutInt(out, n * n);
    int32_t positive = 0;
    for (int32_t i = 0; i < n; ++i) {
        for (int32_t j = 0; j < n; ++j) {
            PutInt(out, i);
            PutInt(out, j);
            PutInt(out, Score(records[i].bytes, records[j].bytes));
            const int32_t adapted = Score(records[i].adapted, records[j].adapted);
            PutInt(out, adapted);
            if (i != j && adapted > 0) ++positive;
        }
    }

    // The search list: every adapted record (a refused one leaves its slot
    // zero: not decodable), an entry of zeros and one with count 0 in the
    // middle, and a last entry cut off by the end of the array.
    size_t stride = 1;
    for (const Record& r : records) stride = std::max(stride, r.adapted.size());
    std::vector<Bytes> entries;
    for (const Record& r : records) {
        entries.push_back(r.adapted);
        if (entries.size() == 3) entries.push_back(Bytes(stride, 0));
        if (entries.size() == 5) {
            Bytes zeroCount = records[0].adapted;
            if (zeroCount.size() > 27) zeroCount[27] = 0;
            entries.push_back(zeroCount);
        }
    }
    entries.push_back(records[1].adapted);  // the probe's finger, then cut below
    Bytes list(entries.size() * stride, 0);
    for (size_t i = 0; i < entries.size(); ++i)
        std::copy(entries[i].begin(), entries[i].end(), list.begin() + static_cast<std::ptrdiff_t>(i * stride));
    list.resize((entries.size() - 1) * stride + std::max<size_t>(records[1].adapted.size(), 40) - 20);
    const int32_t probe = 0;
    PutInt(out, probe);
    PutInt(out, static_cast<int32_t>(stride));
    PutBytes(out, list);
    PutInt(out, static_cast<int32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = i * stride;
        const Bytes entry(list.begin() + static_cast<std::ptrdiff_t>(at), list.end());  // the bytes left
        PutInt(out, Score(records[probe].adapted, entry));
    }
    out.close();
    if (!out) {
        std::cerr << "cannot write " << argv[1] << "\n";
        return 1;
    }
    std::cout << records.size() << " records, " << positive << " adapted pairs of different records score above 0, "
              << entries.size() << " search entries, written to " << argv[1] << "\n";
    return 0;
}
