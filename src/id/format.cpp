#include "format.h"

#include <cstring>

#include <xxhash.h>

namespace fpmatch::id {

namespace {

// Commit slot (64 bytes): number, used size, last part, part count, next
// ordinal, next id, entries, removed (56 bytes), then their checksum.
constexpr int kSlotChecksumAt = 56;
// Part header: fixed fields up to 64, sections 64..231 (7 x 24), header
// checksum at 248 over bytes 0..247.
constexpr int kSectionsAt = 64;
constexpr int kSectionSize = 24;
constexpr int kPartChecksumAt = 248;

}  // namespace

uint64_t Checksum(const uint8_t* data, size_t size) { return XXH3_64bits(data, size); }

uint64_t LoadLe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void StoreLe(uint8_t* p, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

const Section* PartHeader::Find(uint32_t k) const {
    for (uint32_t s = 0; s < sectionCount; ++s)
        if (sections[s].kind == k) return &sections[s];
    return nullptr;
}

void EncodeCommit(const Commit& c, uint8_t* out) {
    std::memset(out, 0, kSlotSize);
    StoreLe(out + 0, c.number, 8);
    StoreLe(out + 8, c.usedSize, 8);
    StoreLe(out + 16, c.lastPart, 8);
    StoreLe(out + 24, c.partCount, 4);
    StoreLe(out + 28, c.nextOrdinal, 4);
    StoreLe(out + 32, c.nextId, 8);
    StoreLe(out + 40, c.entries, 8);
    StoreLe(out + 48, c.removed, 8);
    StoreLe(out + kSlotChecksumAt, Checksum(out, kSlotChecksumAt), 8);
}

void EncodeFileHeader(const Commit& a, const Commit& b, uint8_t* out) {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kMagic, 8);
    StoreLe(out + 8, kVersion, 4);
    StoreLe(out + 12, kHeaderSize, 4);
    // An empty record stays all zeros.
    if (a.number != 0) EncodeCommit(a, out + kSlotOffset[0]);
    if (b.number != 0) EncodeCommit(b, out + kSlotOffset[1]);
}

bool DecodeCommit(const uint8_t* header, int slot, Commit* out) {
    const uint8_t* p = header + kSlotOffset[slot];
    if (LoadLe(p, 8) == 0) return false;
    if (LoadLe(p + kSlotChecksumAt, 8) != Checksum(p, kSlotChecksumAt)) return false;
    Commit c;
    c.number = LoadLe(p, 8);
    c.usedSize = LoadLe(p + 8, 8);
    c.lastPart = LoadLe(p + 16, 8);
    c.partCount = static_cast<uint32_t>(LoadLe(p + 24, 4));
    c.nextOrdinal = static_cast<uint32_t>(LoadLe(p + 28, 4));
    c.nextId = LoadLe(p + 32, 8);
    c.entries = LoadLe(p + 40, 8);
    c.removed = LoadLe(p + 48, 8);
    *out = c;
    return true;
}

bool CurrentCommit(const uint8_t* header, Commit* out, int* slot) {
    Commit c[2];
    const bool ok[2] = {DecodeCommit(header, 0, &c[0]), DecodeCommit(header, 1, &c[1])};
    if (!ok[0] && !ok[1]) return false;
    const int s = !ok[0] ? 1 : !ok[1] ? 0 : (c[1].number > c[0].number ? 1 : 0);
    *out = c[s];
    *slot = s;
    return true;
}

void EncodePartHeader(const PartHeader& h, uint8_t* out) {
    std::memset(out, 0, kPartHeaderSize);
    std::memcpy(out, kPartMagic, 8);
    StoreLe(out + 8, h.kind, 4);
    StoreLe(out + 12, kPartHeaderSize, 4);
    StoreLe(out + 16, h.previous, 8);
    StoreLe(out + 24, h.size, 8);
    StoreLe(out + 32, h.count, 4);
    StoreLe(out + 36, h.sectionCount, 4);
    StoreLe(out + 40, h.bodyChecksum, 8);
    for (uint32_t s = 0; s < h.sectionCount && s < kMaxSections; ++s) {
        uint8_t* q = out + kSectionsAt + s * kSectionSize;
        StoreLe(q, h.sections[s].kind, 4);
        StoreLe(q + 4, h.sections[s].stride, 4);
        StoreLe(q + 8, h.sections[s].offset, 8);
        StoreLe(q + 16, h.sections[s].size, 8);
    }
    StoreLe(out + kPartChecksumAt, Checksum(out, kPartChecksumAt), 8);
}

bool DecodePartHeader(const uint8_t* file, uint64_t size, uint64_t offset, PartHeader* out, std::string* why) {
    if (offset < kHeaderSize || offset > size || size - offset < kPartHeaderSize) {
        *why = "part header outside the file";
        return false;
    }
    const uint8_t* p = file + offset;
    if (std::memcmp(p, kPartMagic, 8) != 0) {
        *why = "no part signature";
        return false;
    }
    if (LoadLe(p + kPartChecksumAt, 8) != Checksum(p, kPartChecksumAt)) {
        *why = "part header checksum mismatch";
        return false;
    }
    PartHeader h;
    h.kind = static_cast<uint32_t>(LoadLe(p + 8, 4));
    h.previous = LoadLe(p + 16, 8);
    h.size = LoadLe(p + 24, 8);
    h.count = static_cast<uint32_t>(LoadLe(p + 32, 4));
    h.sectionCount = static_cast<uint32_t>(LoadLe(p + 36, 4));
    h.bodyChecksum = LoadLe(p + 40, 8);
    if (LoadLe(p + 12, 4) != kPartHeaderSize || h.size < kPartHeaderSize || h.size > size - offset ||
        h.sectionCount > kMaxSections || (h.kind != kPartTemplates && h.kind != kPartRemovals) ||
        h.count > kMaxEntries || (h.previous != 0 && h.previous >= offset)) {
        *why = "part header fields out of range";
        return false;
    }
    for (uint32_t s = 0; s < h.sectionCount; ++s) {
        const uint8_t* q = p + kSectionsAt + s * kSectionSize;
        Section& sec = h.sections[s];
        sec.kind = static_cast<uint32_t>(LoadLe(q, 4));
        sec.stride = static_cast<uint32_t>(LoadLe(q + 4, 4));
        sec.offset = LoadLe(q + 8, 8);
        sec.size = LoadLe(q + 16, 8);
        if (sec.offset < kPartHeaderSize || sec.offset > h.size || sec.size > h.size - sec.offset ||
            sec.stride == 0 || sec.size % sec.stride != 0) {
            *why = "a section lies outside its part";
            return false;
        }
    }
    *out = h;
    return true;
}

void EncodeDirectoryRecord(const DirectoryRecord& r, uint8_t* out) {
    std::memset(out, 0, kDirectoryRecordSize);
    StoreLe(out, r.id, 8);
    StoreLe(out + 8, r.ordinal, 4);
    StoreLe(out + 12, r.nameOffset, 4);
    StoreLe(out + 16, r.nameLength, 2);
    StoreLe(out + 18, r.flags, 2);
    StoreLe(out + 20, r.templateLength, 4);
}

DirectoryRecord DecodeDirectoryRecord(const uint8_t* in) {
    DirectoryRecord r;
    r.id = LoadLe(in, 8);
    r.ordinal = static_cast<uint32_t>(LoadLe(in + 8, 4));
    r.nameOffset = static_cast<uint32_t>(LoadLe(in + 12, 4));
    r.nameLength = static_cast<uint32_t>(LoadLe(in + 16, 2));
    r.flags = static_cast<uint32_t>(LoadLe(in + 18, 2));
    r.templateLength = static_cast<uint32_t>(LoadLe(in + 20, 4));
    return r;
}

bool ValidSubject(std::string_view s) {
    if (s.empty() || s.size() > 255) return false;
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) return false;
            ++i;
            continue;
        }
        // Well-formed UTF-8: no overlong forms, no surrogates, at most U+10FFFF.
        int extra;
        uint32_t cp;
        if (c >= 0xc2 && c <= 0xdf) { extra = 1; cp = c & 0x1f; }
        else if (c >= 0xe0 && c <= 0xef) { extra = 2; cp = c & 0x0f; }
        else if (c >= 0xf0 && c <= 0xf4) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + static_cast<size_t>(extra) >= s.size()) return false;
        for (int k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3f);
        }
        if ((extra == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (extra == 3 && (cp < 0x10000 || cp > 0x10ffff)))
            return false;
        if (cp >= 0x80 && cp < 0xa0) return false;  // C1 controls
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

}  // namespace fpmatch::id
