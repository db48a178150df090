// One committed state of a gallery file, mapped and checked: its runs of
// template slots, which positions are removed, and each entry's id, subject
// and template. Immutable once built; searches share it, a refresh builds a
// new one. Version-1 files (written by `fpmatch pack` before galleries had
// subjects) are read through the core library's gallery readers.
#ifndef FPMATCH_ID_VIEW_H
#define FPMATCH_ID_VIEW_H

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "file.h"
#include "format.h"

namespace fpmatch::id {

// Entries first .. first + count - 1 of one part (or version-1 segment):
// their template slots lie every `stride` bytes from `templates`.
struct Run {
    int64_t first = 0;
    int64_t count = 0;
    uint32_t part = 0;                   // part (segment) number, for messages
    uint64_t offset = 0;                 // of the part header
    const uint8_t* directory = nullptr;  // version 2: 32-byte records
    const uint8_t* templates = nullptr;
    uint32_t stride = 0;
    const uint8_t* shorts = nullptr;     // 512 bytes each, or null
    const uint8_t* filters = nullptr;    // FPMATCH_FILTER_RECORD_SIZE bytes each, or null
    // Compact records, or null: entry j's in bytes compactIndex[j] ..
    // compactIndex[j + 1] - 1 of the compactSize bytes from `compact`.
    const uint8_t* compact = nullptr;
    const uint32_t* compactIndex = nullptr;
    uint64_t compactSize = 0;
    const uint8_t* names = nullptr;      // version 2
    uint64_t namesSize = 0;
};

// One entry, resolved and checked.
struct EntryRef {
    uint64_t id = 0;
    uint32_t ordinal = 0;
    std::string_view subject;
    const uint8_t* templateData = nullptr;
    uint32_t templateLength = 0;
    const uint8_t* shortTemplate = nullptr;
    bool removed = false;
};

// The live subjects: in order of their first stored template, each with its
// live positions in increasing order. The positions of every subject lie in
// one array, so that a gallery of a million subjects costs no million
// allocations to build or to free.
struct SubjectIndex {
    std::vector<std::string_view> ids;
    std::vector<int64_t> byOrdinal;  // subject number of an ordinal, -1 for none live
    int64_t shorts = 0;              // live entries stored with a short template
    std::vector<int64_t> start;      // subject k's positions: positions[start[k] .. start[k + 1])
    std::vector<int64_t> positions;

    std::span<const int64_t> Positions(int64_t k) const {
        const auto from = static_cast<size_t>(start[static_cast<size_t>(k)]);
        const auto to = static_cast<size_t>(start[static_cast<size_t>(k) + 1]);
        return {positions.data() + from, to - from};
    }
};

// The live subjects' numbers by id. Only finding a subject by its id needs
// it, and hashing every id is most of the cost of reading the subjects, so
// it is built apart, on first use. The map allocates from one arena.
struct SubjectNames {
    std::pmr::monotonic_buffer_resource arena;  // declared before the map it outlives
    std::pmr::unordered_map<std::string_view, int64_t> byId{&arena};
};

struct View {
    std::string path;
    int version = 2;
    Commit commit;                   // version 1: number 0
    int slot = 0;                    // the commit slot holding `commit`
    std::shared_ptr<Mapping> map;
    std::vector<Run> runs;
    std::vector<PartHeader> parts;   // version 2, in file order
    std::vector<uint64_t> partOffsets;
    std::vector<uint64_t> removedBits;
    int64_t entries = 0;
    int64_t removed = 0;
    uint32_t ordinals = 0;           // ordinals in use are below this
    // Version 1: each entry's subject ordinal and each ordinal's id; entries
    // whose directory record is damaged get ordinal kDamaged.
    std::vector<uint32_t> v1Ordinal;
    std::vector<std::string> v1Subject;
    static constexpr uint32_t kDamaged = 0xffffffffu;

    bool Removed(int64_t position) const {
        return (removedBits[static_cast<size_t>(position >> 6)] >> (position & 63)) & 1;
    }
    const Run& RunOf(int64_t position) const;
    // The entry at `position`; false with `why` set when its directory
    // record does not fit its part.
    bool Entry(int64_t position, EntryRef* out, std::string* why) const;
    // The live subjects, built on first use. Null with `why` set when an
    // entry is damaged or two subjects share one number.
    const SubjectIndex* Subjects(std::string* why) const;
    // Their numbers by id, built on first use. Null with `why` set as for
    // Subjects, or when one id is stored under two numbers.
    const SubjectNames* Names(std::string* why) const;

private:
    mutable std::once_flag subjectsOnce_;
    mutable std::unique_ptr<SubjectIndex> subjects_;
    mutable std::string subjectsWhy_;
    mutable std::once_flag namesOnce_;
    mutable std::unique_ptr<SubjectNames> names_;
    mutable std::string namesWhy_;
};

// Builds the view of the file open as `fd` at `path`. Returns FPM_OK or a
// code with `why` set.
int32_t BuildView(int fd, const std::string& path, std::shared_ptr<const View>* out, std::string* why);

// Verifies every checksum and directory record of a version-2 view, or
// every entry of a version-1 view. Returns FPM_OK or FPM_E_DAMAGED.
int32_t CheckView(const View& view, std::string* why);

}  // namespace fpmatch::id

#endif
