// The gallery file, format version 2: byte layout, checksums and the checks
// a reader makes before it trusts a byte. Pure functions over buffers; the
// file handling is in file.cpp, the normative description in
// docs/gallery-format.md.
//
//   file header (256 bytes): magic, version, header size, and two commit
//     slots; the valid slot with the higher commit number is the state.
//   parts, one after another, each a 256-byte part header (kind, previous
//     part, size, checksums, section table) and its sections. A commit adds
//     parts after the used size and then writes the other commit slot, so a
//     committed byte is never written again.
#ifndef FPMATCH_ID_FORMAT_H
#define FPMATCH_ID_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fpmatch::id {

inline constexpr uint8_t kMagic[8] = {0x89, 'F', 'P', 'G', '\r', '\n', 0x1a, '\n'};
inline constexpr uint8_t kPartMagic[8] = {'F', 'P', 'G', 'P', 'A', 'R', 'T', 0};
inline constexpr uint32_t kVersion = 2;
inline constexpr uint32_t kHeaderSize = 256;
inline constexpr uint32_t kSlotOffset[2] = {64, 128};
inline constexpr uint32_t kSlotSize = 64;
inline constexpr uint32_t kPartHeaderSize = 256;
inline constexpr uint32_t kMaxSections = 7;
inline constexpr uint32_t kDirectoryRecordSize = 32;
inline constexpr uint32_t kTemplateSlot = 328;  // the most any template's comparison reads
inline constexpr uint32_t kShortSize = 512;
inline constexpr int64_t kMaxEntries = 0x7fffffff;

enum PartKind : uint32_t { kPartTemplates = 1, kPartRemovals = 2 };
enum SectionKind : uint32_t {
    kSectionDirectory = 1,  // 32-byte records, one per entry
    kSectionTemplates = 2,  // template slots of `stride` bytes
    kSectionShorts = 3,     // 512-byte short templates (zeros: none)
    kSectionNames = 4,      // subject ids, end to end
    kSectionRemovedIds = 5, // removal part: 8-byte template ids, ascending
    kSectionFilter = 6,     // candidate filter records (MakeFilterRecord)
    kSectionCompact = 7,    // compact records (CompactGalleryTemplate), end to end
    kSectionCompactIndex = 8, // entries + 1 offsets into the compact records
};

// A commit slot of the file header.
struct Commit {
    uint64_t number = 0;        // 0: the slot is empty
    uint64_t usedSize = kHeaderSize;
    uint64_t lastPart = 0;      // offset of the last part header, 0 for none
    uint32_t partCount = 0;
    uint32_t nextOrdinal = 0;   // subject ordinals in use are below this
    uint64_t nextId = 0;        // the next template id to give
    uint64_t entries = 0;       // stored templates, removed ones included
    uint64_t removed = 0;       // of those, removed
};

struct Section {
    uint32_t kind = 0;
    uint32_t stride = 0;
    uint64_t offset = 0;  // from the part header
    uint64_t size = 0;
};

struct PartHeader {
    uint32_t kind = 0;
    uint64_t previous = 0;   // offset of the previous part header, 0 for none
    uint64_t size = 0;       // header and sections
    uint32_t count = 0;      // entries, or removed ids
    uint32_t sectionCount = 0;
    uint64_t bodyChecksum = 0;
    Section sections[kMaxSections];
    const Section* Find(uint32_t kind) const;
};

// One directory record.
struct DirectoryRecord {
    uint64_t id = 0;
    uint32_t ordinal = 0;
    uint32_t nameOffset = 0;
    uint32_t nameLength = 0;
    uint32_t flags = 0;  // bit 0: a short template is stored
    uint32_t templateLength = 0;
};
inline constexpr uint32_t kHasShort = 1;

uint64_t Checksum(const uint8_t* data, size_t size);

uint64_t LoadLe(const uint8_t* p, int bytes);
void StoreLe(uint8_t* p, uint64_t value, int bytes);

// The header's fixed fields and both slots: 256 bytes.
void EncodeFileHeader(const Commit& a, const Commit& b, uint8_t* out);
void EncodeCommit(const Commit& c, uint8_t* out);
// Reads slot `slot` of a file header; false when empty or its checksum
// fails.
bool DecodeCommit(const uint8_t* header, int slot, Commit* out);
// The current commit of a file header (both slots read): the valid one with
// the higher number, and which slot it is in. False when neither is valid.
bool CurrentCommit(const uint8_t* header, Commit* out, int* slot);

void EncodePartHeader(const PartHeader& h, uint8_t* out);
// Decodes and checks a part header at `offset` of a file of `size` bytes:
// magic, header checksum, size within the file, every section inside the
// part and its size a multiple of its stride. Sets `why` on failure.
bool DecodePartHeader(const uint8_t* file, uint64_t size, uint64_t offset, PartHeader* out, std::string* why);

void EncodeDirectoryRecord(const DirectoryRecord& r, uint8_t* out);
DirectoryRecord DecodeDirectoryRecord(const uint8_t* in);

// Whether `s` is a subject id: 1..255 bytes of well-formed UTF-8 without
// control characters.
bool ValidSubject(std::string_view s);

}  // namespace fpmatch::id

#endif
