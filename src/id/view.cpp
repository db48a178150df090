#include "view.h"

#include <algorithm>
#include <cstring>

#include "fpmatch_id.h"

namespace fpmatch::id {

namespace {

std::string PartName(uint32_t part, uint64_t offset) {
    return "part " + std::to_string(part) + " (offset " + std::to_string(offset) + ")";
}

int32_t Damaged(std::string* why, const std::string& text) {
    *why = text;
    return FPM_E_DAMAGED;
}

// A template part's sections, checked against its entry count.
int32_t AddTemplateRun(View& v, const PartHeader& h, uint32_t part, uint64_t offset, std::string* why) {
    const Section* dir = h.Find(kSectionDirectory);
    const Section* tpl = h.Find(kSectionTemplates);
    const Section* sh = h.Find(kSectionShorts);
    const Section* names = h.Find(kSectionNames);
    const Section* filter = h.Find(kSectionFilter);
    const Section* compact = h.Find(kSectionCompact);
    const Section* index = h.Find(kSectionCompactIndex);
    const uint64_t n = h.count;
    if (n == 0 || dir == nullptr || tpl == nullptr || names == nullptr || dir->stride != kDirectoryRecordSize ||
        dir->size != n * kDirectoryRecordSize || tpl->stride < kTemplateSlot || tpl->stride > (1u << 20) ||
        tpl->size != n * tpl->stride || (sh != nullptr && (sh->stride != kShortSize || sh->size != n * kShortSize)) ||
        (filter != nullptr && (filter->stride != FPMATCH_FILTER_RECORD_SIZE || filter->size != n * filter->stride)))
        return Damaged(why, PartName(part, offset) + ": its sections do not fit its entry count");
    // The index is read as 32-bit words in place: aligned, and the records
    // addressable by them.
    if ((compact == nullptr) != (index == nullptr) ||
        (index != nullptr && (index->stride != 4 || index->size != (n + 1) * 4 || (offset + index->offset) % 4 != 0 ||
                              compact->stride != 1 || compact->size > UINT32_MAX)))
        return Damaged(why, PartName(part, offset) + ": its compact records do not fit its entry count");
    const uint8_t* base = v.map->data() + offset;
    Run r;
    r.first = v.entries;
    r.count = static_cast<int64_t>(n);
    r.part = part;
    r.offset = offset;
    r.directory = base + dir->offset;
    r.templates = base + tpl->offset;
    r.stride = tpl->stride;
    r.shorts = sh != nullptr ? base + sh->offset : nullptr;
    r.filters = filter != nullptr ? base + filter->offset : nullptr;
    if (compact != nullptr) {
        r.compact = base + compact->offset;
        r.compactSize = compact->size;
        r.compactIndex = reinterpret_cast<const uint32_t*>(base + index->offset);
    }
    r.names = base + names->offset;
    r.namesSize = names->size;
    v.runs.push_back(r);
    v.entries += r.count;
    return v.entries > kMaxEntries ? Damaged(why, "more entries than a gallery holds") : FPM_OK;
}

// Position of template `id`, or -1.
int64_t FindId(const View& v, uint64_t id) {
    auto idAt = [&](const Run& r, int64_t j) { return LoadLe(r.directory + j * kDirectoryRecordSize, 8); };
    auto it = std::upper_bound(v.runs.begin(), v.runs.end(), id,
                               [&](uint64_t x, const Run& r) { return x < idAt(r, 0); });
    if (it == v.runs.begin()) return -1;
    const Run& r = *(it - 1);
    int64_t lo = 0, hi = r.count;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (idAt(r, mid) < id) lo = mid + 1;
        else hi = mid;
    }
    return lo < r.count && idAt(r, lo) == id ? r.first + lo : -1;
}

int32_t ApplyRemovals(View& v, const PartHeader& h, uint32_t part, uint64_t offset, std::string* why) {
    const Section* ids = h.Find(kSectionRemovedIds);
    if (ids == nullptr || ids->stride != 8 || ids->size != uint64_t{h.count} * 8)
        return Damaged(why, PartName(part, offset) + ": its removal list does not fit its count");
    const uint8_t* base = v.map->data() + offset;
    if (Checksum(base + kPartHeaderSize, h.size - kPartHeaderSize) != h.bodyChecksum)
        return Damaged(why, PartName(part, offset) + ": checksum mismatch in its removal list");
    uint64_t previous = 0;
    for (uint32_t k = 0; k < h.count; ++k) {
        const uint64_t id = LoadLe(base + ids->offset + uint64_t{k} * 8, 8);
        const int64_t pos = (k > 0 && id <= previous) ? -1 : FindId(v, id);
        if (pos < 0 || v.Removed(pos))
            return Damaged(why, PartName(part, offset) + ": removes template " + std::to_string(id) +
                                    ", which is not stored or removed already");
        v.removedBits[static_cast<size_t>(pos >> 6)] |= uint64_t{1} << (pos & 63);
        previous = id;
    }
    v.removed += h.count;
    return FPM_OK;
}

int32_t BuildV2(int fd, View& v, uint64_t fileSize, std::string* why) {
    uint8_t head[kHeaderSize];
    if (fileSize < kHeaderSize) return Damaged(why, "truncated: shorter than the gallery header");
    if (!ReadAt(fd, head, kHeaderSize, 0, why)) return FPM_E_IO;
    if (LoadLe(head + 12, 4) != kHeaderSize || !CurrentCommit(head, &v.commit, &v.slot))
        return Damaged(why, "gallery header: neither commit record is intact");
    const Commit& c = v.commit;
    if (c.usedSize < kHeaderSize || c.usedSize > fileSize)
        return Damaged(why, "truncated: commit " + std::to_string(c.number) + " declares " +
                                std::to_string(c.usedSize) + " bytes, the file has " + std::to_string(fileSize));
    if (c.partCount > (c.usedSize - kHeaderSize) / kPartHeaderSize)
        return Damaged(why, "gallery header: more parts than the file can hold");
    if (!(v.map = Mapping::Map(fd, c.usedSize, why))) return FPM_E_IO;
    // The parts, found from the last one back, in file order.
    v.parts.resize(c.partCount);
    v.partOffsets.resize(c.partCount);
    uint64_t offset = c.lastPart, end = c.usedSize;
    for (uint32_t k = c.partCount; k-- > 0;) {
        PartHeader h;
        std::string what;
        if (!DecodePartHeader(v.map->data(), c.usedSize, offset, &h, &what) || offset + h.size > end)
            return Damaged(why, PartName(k, offset) + ": " + (what.empty() ? "overlaps the next part" : what));
        if ((k == 0) != (h.previous == 0))
            return Damaged(why, PartName(k, offset) + ": the chain of parts does not match the part count");
        v.parts[k] = h;
        v.partOffsets[k] = offset;
        end = offset;
        offset = h.previous;
    }
    if (c.partCount == 0 && c.lastPart != 0) return Damaged(why, "gallery header: a last part without parts");
    for (uint32_t k = 0; k < c.partCount; ++k)
        if (v.parts[k].kind == kPartTemplates)
            if (int32_t rc = AddTemplateRun(v, v.parts[k], k, v.partOffsets[k], why); rc != FPM_OK) return rc;
    if (static_cast<uint64_t>(v.entries) != c.entries)
        return Damaged(why, "gallery header: its entry count disagrees with the parts");
    v.removedBits.assign(static_cast<size_t>(v.entries / 64 + 1), 0);
    for (uint32_t k = 0; k < c.partCount; ++k)
        if (v.parts[k].kind == kPartRemovals)
            if (int32_t rc = ApplyRemovals(v, v.parts[k], k, v.partOffsets[k], why); rc != FPM_OK) return rc;
    if (static_cast<uint64_t>(v.removed) != c.removed)
        return Damaged(why, "gallery header: its removed count disagrees with the parts");
    v.ordinals = c.nextOrdinal;
    return FPM_OK;
}

int32_t BuildV1(int fd, View& v, uint64_t fileSize, std::string* why) {
    if (!(v.map = Mapping::Map(fd, fileSize, why))) return FPM_E_IO;
    const uint8_t* data = v.map->data();
    GalleryInfo info{};
    const int32_t rc = CheckGallery(data, fileSize, &info);
    if (rc < 0) {
        *why = FpmCodeText(FpmFromCoreCode(FPM_FAMILY_GALLERY, rc));
        return FpmFromCoreCode(FPM_FAMILY_GALLERY, rc);
    }
    v.version = 1;
    v.entries = info.entryCount;
    v.removedBits.assign(static_cast<size_t>(v.entries / 64 + 1), 0);
    std::unordered_map<std::string, uint32_t> ordinals;
    for (int32_t s = 0; s < info.segmentCount; ++s) {
        GallerySegment seg{};
        GetGallerySegment(data, fileSize, s, &seg);
        Run r;
        r.first = seg.firstIndex;
        r.count = seg.entryCount;
        r.part = static_cast<uint32_t>(s);
        r.offset = seg.offset;
        r.templates = data + seg.templatesOffset;
        r.stride = static_cast<uint32_t>(seg.stride);
        r.shorts = seg.hasShorts ? data + seg.shortsOffset : nullptr;
        v.runs.push_back(r);
    }
    v.v1Ordinal.resize(static_cast<size_t>(v.entries));
    for (int32_t i = 0; i < info.entryCount; ++i) {
        GalleryEntry e{};
        if (GetGalleryEntry(data, fileSize, i, &e) != 0) {
            v.v1Ordinal[static_cast<size_t>(i)] = View::kDamaged;
            continue;
        }
        std::string name(e.name, static_cast<size_t>(e.nameLength));
        if (!ValidSubject(name)) name = "#" + std::to_string(i);
        auto [it, fresh] = ordinals.emplace(name, static_cast<uint32_t>(v.v1Subject.size()));
        if (fresh) v.v1Subject.push_back(name);
        v.v1Ordinal[static_cast<size_t>(i)] = it->second;
    }
    v.ordinals = static_cast<uint32_t>(v.v1Subject.size());
    return FPM_OK;
}

}  // namespace

const Run& View::RunOf(int64_t position) const {
    auto it = std::upper_bound(runs.begin(), runs.end(), position,
                               [](int64_t p, const Run& r) { return p < r.first; });
    return *(it - 1);
}

bool View::Entry(int64_t position, EntryRef* out, std::string* why) const {
    const Run& r = RunOf(position);
    const int64_t j = position - r.first;
    EntryRef e;
    e.removed = Removed(position);
    e.templateData = r.templates + j * r.stride;
    if (version == 1) {
        const uint32_t o = v1Ordinal[static_cast<size_t>(position)];
        GalleryEntry g{};
        if (o == kDamaged || GetGalleryEntry(map->data(), map->size(), static_cast<int32_t>(position), &g) != 0) {
            *why = "entry " + std::to_string(position) + ": its directory record does not fit segment " +
                   std::to_string(r.part);
            return false;
        }
        e.id = static_cast<uint64_t>(position);
        e.ordinal = o;
        e.subject = v1Subject[o];
        e.templateLength = static_cast<uint32_t>(g.templateLength);
        e.shortTemplate = g.shortTemplate;
        *out = e;
        return true;
    }
    const DirectoryRecord d = DecodeDirectoryRecord(r.directory + j * kDirectoryRecordSize);
    if (d.nameLength < 1 || d.nameLength > FPM_SUBJECT_MAX || d.nameOffset > r.namesSize ||
        d.nameLength > r.namesSize - d.nameOffset || d.templateLength < 1 || d.templateLength > r.stride ||
        d.ordinal >= ordinals || d.id >= commit.nextId || ((d.flags & kHasShort) && r.shorts == nullptr) ||
        (d.flags & ~kHasShort) != 0) {
        *why = PartName(r.part, r.offset) + ": the directory record of entry " + std::to_string(position) +
               " does not fit its part";
        return false;
    }
    e.id = d.id;
    e.ordinal = d.ordinal;
    e.subject = std::string_view(reinterpret_cast<const char*>(r.names + d.nameOffset), d.nameLength);
    e.templateLength = d.templateLength;
    e.shortTemplate = (d.flags & kHasShort) ? r.shorts + j * kShortSize : nullptr;
    *out = e;
    return true;
}

const SubjectIndex* View::Subjects(std::string* why) const {
    std::call_once(subjectsOnce_, [&] {
        auto index = std::make_unique<SubjectIndex>();
        index->byOrdinal.assign(ordinals, -1);
        // The subject of each live position (-1: removed), then each
        // subject's positions gathered in position order. start[k + 1]
        // counts subject k's positions until the sums make it their end.
        std::vector<int64_t> subjectOf(static_cast<size_t>(entries), -1);
        index->start.push_back(0);
        for (int64_t p = 0; p < entries; ++p) {
            if (Removed(p)) continue;
            EntryRef e;
            if (!Entry(p, &e, &subjectsWhy_)) return;
            int64_t& k = index->byOrdinal[e.ordinal];
            if (k < 0) {
                k = static_cast<int64_t>(index->ids.size());
                index->ids.push_back(e.subject);
                index->start.push_back(0);
            } else if (index->ids[static_cast<size_t>(k)] != e.subject) {
                subjectsWhy_ = "entry " + std::to_string(p) + ": two subjects share one number";
                return;
            }
            subjectOf[static_cast<size_t>(p)] = k;
            ++index->start[static_cast<size_t>(k) + 1];
            index->shorts += e.shortTemplate != nullptr;
        }
        for (size_t k = 1; k < index->start.size(); ++k) index->start[k] += index->start[k - 1];
        index->positions.resize(static_cast<size_t>(index->start.back()));
        std::vector<int64_t> next(index->start.begin(), index->start.end() - 1);
        for (int64_t p = 0; p < entries; ++p)
            if (const int64_t k = subjectOf[static_cast<size_t>(p)]; k >= 0)
                index->positions[static_cast<size_t>(next[static_cast<size_t>(k)]++)] = p;
        subjects_ = std::move(index);
    });
    if (!subjects_) *why = subjectsWhy_;
    return subjects_.get();
}

const SubjectNames* View::Names(std::string* why) const {
    std::call_once(namesOnce_, [&] {
        const SubjectIndex* s = Subjects(&namesWhy_);
        if (s == nullptr) return;
        auto names = std::make_unique<SubjectNames>();
        names->byId.reserve(s->ids.size());
        for (size_t k = 0; k < s->ids.size(); ++k)
            if (!names->byId.emplace(s->ids[k], static_cast<int64_t>(k)).second) {
                namesWhy_ = "subject \"" + std::string(s->ids[k]) + "\" is stored under two numbers";
                return;
            }
        names_ = std::move(names);
    });
    if (!names_) *why = namesWhy_;
    return names_.get();
}

int32_t BuildView(int fd, const std::string& path, std::shared_ptr<const View>* out, std::string* why) {
    auto v = std::make_shared<View>();
    v->path = path;
    uint64_t size = 0;
    if (!FileSize(fd, &size, why)) return FPM_E_IO;
    uint8_t head[12] = {};
    if (size < sizeof head || !ReadAt(fd, head, sizeof head, 0, why) || std::memcmp(head, kMagic, 8) != 0) {
        *why = size >= 2 && head[0] == 'F' && head[1] == 'M' ? "not a gallery: it is an ISO/IEC 19794-2 record"
               : size == 0                                   ? "not a gallery: the file is empty"
                                                             : "not a gallery: no gallery signature";
        return FPM_E_NOT_GALLERY;
    }
    const uint64_t version = LoadLe(head + 8, 4);
    int32_t rc;
    if (version == 1) rc = BuildV1(fd, *v, size, why);
    else if (version == kVersion) rc = BuildV2(fd, *v, size, why);
    else {
        *why = "gallery format version " + std::to_string(version) + " (this library reads 1 and 2)";
        return FPM_E_VERSION;
    }
    if (rc == FPM_OK) *out = std::move(v);
    return rc;
}

namespace {

// Whether entry `p`'s compact record, where its part stores them, is the
// one its template makes (none, for a template that makes none).
bool CompactRecordMatches(const Run& r, int64_t p, const EntryRef& e) {
    if (r.compact == nullptr) return true;
    const int64_t j = p - r.first;
    const uint32_t from = r.compactIndex[j], to = r.compactIndex[j + 1];
    if (from > to || to > r.compactSize || (j + 1 == r.count && to != r.compactSize)) return false;
    uint8_t made[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
    const int32_t length = CompactGalleryTemplate(e.templateData, made, sizeof made);
    if (length < 0) return to == from;
    return length == static_cast<int32_t>(to - from) && std::memcmp(made, r.compact + from, to - from) == 0;
}

}  // namespace

int32_t CheckView(const View& v, std::string* why) {
    std::string what;
    if (v.version == 1) {
        EntryRef e;
        for (int64_t p = 0; p < v.entries; ++p)
            if (!v.Entry(p, &e, why)) return FPM_E_DAMAGED;
        return FPM_OK;
    }
    // The header: reserved bytes zero; the other commit slot empty or an
    // earlier commit (a damaged one would hide a bit flipped in it).
    const uint8_t* head = v.map->data();
    const auto zero = [](const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); };
    Commit other;
    const uint8_t* otherSlot = head + kSlotOffset[1 - v.slot];
    if (!zero(head + 16, kSlotOffset[0] - 16) || !zero(head + kSlotOffset[1] + kSlotSize, kHeaderSize - kSlotOffset[1] - kSlotSize))
        return Damaged(why, "gallery header: reserved bytes are not zero");
    if (!zero(otherSlot, kSlotSize) && (!DecodeCommit(head, 1 - v.slot, &other) || other.number >= v.commit.number))
        return Damaged(why, "gallery header: commit record " + std::to_string(1 - v.slot) + " is damaged");
    for (size_t k = 0; k < v.parts.size(); ++k) {
        const PartHeader& h = v.parts[k];
        const uint8_t* base = v.map->data() + v.partOffsets[k];
        if (Checksum(base + kPartHeaderSize, h.size - kPartHeaderSize) != h.bodyChecksum)
            return Damaged(why, PartName(static_cast<uint32_t>(k), v.partOffsets[k]) + ": checksum mismatch");
    }
    std::vector<std::string_view> names(v.ordinals);
    uint64_t previous = 0;
    for (int64_t p = 0; p < v.entries; ++p) {
        EntryRef e;
        if (!v.Entry(p, &e, why)) return FPM_E_DAMAGED;
        if (p > 0 && e.id <= previous)
            return Damaged(why, "entry " + std::to_string(p) + ": template ids out of order");
        previous = e.id;
        std::string_view& n = names[e.ordinal];
        if (n.empty()) {
            if (!ValidSubject(e.subject))
                return Damaged(why, "entry " + std::to_string(p) + ": its subject id is not valid");
            n = e.subject;
        } else if (n != e.subject)
            return Damaged(why, "entry " + std::to_string(p) + ": two subjects share one number");
        if (!CompactRecordMatches(v.RunOf(p), p, e))
            return Damaged(why, "entry " + std::to_string(p) + ": its compact record is not its template's");
    }
    return v.Names(why) != nullptr ? FPM_OK : FPM_E_DAMAGED;
}

}  // namespace fpmatch::id
