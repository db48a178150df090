// Changes to a gallery: the batch of adds and removals, its commit (parts
// written and synced after the used size, then one commit slot written and
// synced), and compaction (the live templates written beside the file and
// renamed over it).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <span>

#include <xxhash.h>

#include "internal.h"

namespace fpmatch::id {

namespace {

constexpr size_t kFlushBytes = size_t{8} << 20;

uint64_t Align(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// One template to write into a part.
struct PartEntry {
    uint64_t id = 0;
    uint32_t ordinal = 0;
    std::string_view subject;
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    const uint8_t* filter = nullptr;  // null: made from the template
    bool hasCompact = false;          // false: made from the template's slot
    const uint8_t* compact = nullptr;
    uint32_t compactLength = 0;
};

// Streams a part's body into the file, hashing what it writes.
class BodyWriter {
public:
    BodyWriter(int fd, uint64_t offset) : fd_(fd), offset_(offset), state_(XXH3_createState(), XXH3_freeState) {
        if (!state_) throw std::bad_alloc();
        XXH3_64bits_reset(state_.get());
    }
    void Put(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        buffer_.insert(buffer_.end(), p, p + size);
        written_ += size;
        if (buffer_.size() >= kFlushBytes) Flush();
    }
    void PadTo(uint64_t bodyOffset) { buffer_.resize(buffer_.size() + (bodyOffset - written_)), written_ = bodyOffset; }
    bool Flush() {
        if (buffer_.empty() || !ok_) return ok_;
        XXH3_64bits_update(state_.get(), buffer_.data(), buffer_.size());
        ok_ = WriteAt(fd_, buffer_.data(), buffer_.size(), offset_, &why_);
        offset_ += buffer_.size();
        buffer_.clear();
        return ok_;
    }
    uint64_t written() const { return written_; }  // counted from the part header
    uint64_t Digest() { return XXH3_64bits_digest(state_.get()); }
    const std::string& why() const { return why_; }

private:
    int fd_;
    uint64_t offset_;
    uint64_t written_ = kPartHeaderSize;
    std::vector<uint8_t> buffer_;
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t*)> state_;
    bool ok_ = true;
    std::string why_;
};

bool WriteHeader(int fd, uint64_t offset, const PartHeader& h, std::string* why) {
    uint8_t out[kPartHeaderSize];
    EncodePartHeader(h, out);
    return WriteAt(fd, out, sizeof out, offset, why);
}

// Writes a template part at c->usedSize and moves c past it.
bool WriteTemplatePart(int fd, std::span<const PartEntry> entries, Commit* c, std::string* why) {
    const uint64_t n = entries.size();
    std::unordered_map<std::string_view, uint32_t> nameAt;
    std::vector<uint32_t> nameOffset(n);
    uint64_t namesSize = 0;
    for (size_t i = 0; i < n; ++i) {
        auto [it, fresh] = nameAt.emplace(entries[i].subject, static_cast<uint32_t>(namesSize));
        if (fresh) namesSize += entries[i].subject.size();
        nameOffset[i] = it->second;
    }
    PartHeader h;
    h.kind = kPartTemplates;
    h.previous = c->lastPart;
    h.count = static_cast<uint32_t>(n);
    // Sections in this order; the compact records' size is known once they
    // are written, and the header (section table) is written last.
    const uint64_t dir = kPartHeaderSize, tpl = Align(dir + n * kDirectoryRecordSize, 64);
    const uint64_t filters = Align(tpl + n * kTemplateSlot, 64);
    const uint64_t names = filters + n * FPMATCH_FILTER_RECORD_SIZE;
    const uint64_t compact = Align(names + namesSize, 64);
    h.sections[h.sectionCount++] = {kSectionDirectory, kDirectoryRecordSize, dir, n * kDirectoryRecordSize};
    h.sections[h.sectionCount++] = {kSectionTemplates, kTemplateSlot, tpl, n * kTemplateSlot};
    h.sections[h.sectionCount++] = {kSectionFilter, FPMATCH_FILTER_RECORD_SIZE, filters, n * FPMATCH_FILTER_RECORD_SIZE};
    h.sections[h.sectionCount++] = {kSectionNames, 1, names, namesSize};

    const uint64_t at = c->usedSize;
    BodyWriter w(fd, at + kPartHeaderSize);
    uint8_t directory[kDirectoryRecordSize];
    for (size_t i = 0; i < n; ++i) {
        DirectoryRecord r;
        r.id = entries[i].id;
        r.ordinal = entries[i].ordinal;
        r.nameOffset = nameOffset[i];
        r.nameLength = static_cast<uint32_t>(entries[i].subject.size());
        r.templateLength = entries[i].length;
        EncodeDirectoryRecord(r, directory);
        w.Put(directory, sizeof directory);
    }
    for (size_t i = 0; i < n; ++i) {
        w.PadTo(tpl + i * kTemplateSlot);
        w.Put(entries[i].bytes, entries[i].length);
    }
    uint8_t record[FPMATCH_FILTER_RECORD_SIZE];
    for (size_t i = 0; i < n; ++i) {
        w.PadTo(filters + i * FPMATCH_FILTER_RECORD_SIZE);
        if (entries[i].filter != nullptr) {
            w.Put(entries[i].filter, FPMATCH_FILTER_RECORD_SIZE);
        } else {
            // A template from a part written without filter records: the
            // record is made now (a slot holds at least 328 readable bytes).
            MakeFilterRecord(entries[i].bytes, record);
            w.Put(record, sizeof record);
        }
    }
    w.PadTo(names);
    nameAt.clear();
    for (size_t i = 0; i < n; ++i)
        if (nameAt.emplace(entries[i].subject, 0).second) w.Put(entries[i].subject.data(), entries[i].subject.size());
    w.PadTo(compact);
    std::vector<uint8_t> index((n + 1) * 4);
    uint8_t made[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
    for (size_t i = 0; i < n; ++i) {
        const uint64_t at = w.written() - compact;
        if (at > UINT32_MAX - FPMATCH_COMPACT_GALLERY_MAX_SIZE) return *why = "too many compact record bytes in one part", false;
        StoreLe(index.data() + i * 4, at, 4);
        if (entries[i].hasCompact) {
            w.Put(entries[i].compact, entries[i].compactLength);
        } else if (const int32_t length = CompactGalleryTemplate(entries[i].bytes, made, sizeof made); length > 0) {
            w.Put(made, static_cast<size_t>(length));
        }
    }
    const uint64_t compactSize = w.written() - compact;
    StoreLe(index.data() + n * 4, compactSize, 4);
    const uint64_t indexAt = Align(w.written(), 8);
    w.PadTo(indexAt);
    w.Put(index.data(), index.size());
    h.sections[h.sectionCount++] = {kSectionCompact, 1, compact, compactSize};
    h.sections[h.sectionCount++] = {kSectionCompactIndex, 4, indexAt, index.size()};
    h.size = Align(indexAt + index.size(), 8);
    w.PadTo(h.size);
    if (!w.Flush()) return *why = w.why(), false;
    h.bodyChecksum = w.Digest();
    if (!WriteHeader(fd, at, h, why)) return false;
    c->lastPart = at;
    c->usedSize = at + h.size;
    c->partCount += 1;
    c->entries += n;
    return true;
}

// Writes `entries` as template parts of at most kPartEntries each: the
// compact records of one part stay within reach of its 32-bit offsets
// (kPartEntries x FPMATCH_COMPACT_GALLERY_MAX_SIZE < 4 GiB).
constexpr size_t kPartEntries = size_t{1} << 20;
bool WriteTemplateParts(int fd, const std::vector<PartEntry>& entries, Commit* c, std::string* why) {
    for (size_t from = 0; from < entries.size(); from += kPartEntries) {
        const size_t to = std::min(entries.size(), from + kPartEntries);
        if (!WriteTemplatePart(fd, std::span(entries).subspan(from, to - from), c, why)) return false;
    }
    return true;
}
static_assert(kPartEntries * uint64_t{FPMATCH_COMPACT_GALLERY_MAX_SIZE} < (uint64_t{1} << 32));

bool WriteRemovalPart(int fd, const std::vector<uint64_t>& ids, Commit* c, std::string* why) {
    PartHeader h;
    h.kind = kPartRemovals;
    h.previous = c->lastPart;
    h.count = static_cast<uint32_t>(ids.size());
    h.size = kPartHeaderSize + ids.size() * 8;
    h.sections[h.sectionCount++] = {kSectionRemovedIds, 8, kPartHeaderSize, ids.size() * 8};
    std::vector<uint8_t> body(ids.size() * 8);
    for (size_t k = 0; k < ids.size(); ++k) StoreLe(body.data() + k * 8, ids[k], 8);
    h.bodyChecksum = Checksum(body.data(), body.size());
    const uint64_t at = c->usedSize;
    if (!WriteAt(fd, body.data(), body.size(), at + kPartHeaderSize, why) || !WriteHeader(fd, at, h, why))
        return false;
    c->lastPart = at;
    c->usedSize = at + h.size;
    c->partCount += 1;
    c->removed += ids.size();
    return true;
}

int32_t Writable(FpmGallery* g) {
    if (g == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery");
    return g->writable ? FPM_OK : FailAt(FPM_E_READ_ONLY, g->path, "the gallery is open read-only");
}

// The template to store for `tmpl` (adapted when asked and an ISO record).
int32_t Prepare(const uint8_t* tmpl, size_t length, int32_t flags, PendingAdd* add) {
    std::vector<uint8_t> adapted;
    if ((flags & FPM_ADD_ADAPT) && length >= 2 && tmpl[0] == 'F' && tmpl[1] == 'M') {
        adapted.resize(length);
        const int32_t n = AdaptIsoRecord(tmpl, length, adapted.data(), adapted.size());
        if (n < 0) return Fail(FpmFromCoreCode(FPM_FAMILY_ADAPT, n), "");
        adapted.resize(static_cast<size_t>(n));
        tmpl = adapted.data();
        length = adapted.size();
    }
    if (const int32_t rc = CheckTemplate(tmpl, length); rc != 0)
        return Fail(FpmFromCoreCode(FPM_FAMILY_TEMPLATE, rc), "");
    const auto keep = static_cast<size_t>(TemplateLength(tmpl, length));
    add->bytes.assign(tmpl, tmpl + std::min<size_t>(keep, kTemplateSlot));
    // The candidate filter record, from the template padded to a slot.
    std::array<uint8_t, kTemplateSlot> slot{};
    std::copy(add->bytes.begin(), add->bytes.end(), slot.begin());
    MakeFilterRecord(slot.data(), add->filter.data());
    // Its compact record: what a search compares instead of the template.
    // (Made on the stack and kept at its own length: a batch holds many.)
    uint8_t compact[FPMATCH_COMPACT_GALLERY_MAX_SIZE];
    const int32_t compactLength = CompactGalleryTemplate(slot.data(), compact, sizeof compact);
    add->compact.assign(compact, compact + std::max(compactLength, 0));
    return FPM_OK;
}

}  // namespace

}  // namespace fpmatch::id

using namespace fpmatch::id;

extern "C" {

int32_t FpmGalleryAdd(FpmGallery* g, const char* subject, const uint8_t* tmpl, size_t length, int32_t flags) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = Writable(g); rc != FPM_OK) return rc;
        if (subject == nullptr || tmpl == nullptr) return Fail(FPM_E_ARGUMENT, "no subject or no template");
        if ((flags & ~FPM_ADD_ADAPT) != 0) return Fail(FPM_E_ARGUMENT, "unknown flags");
        const std::string id(subject);
        if (!ValidSubject(id)) return Fail(FPM_E_SUBJECT, "");
        std::unique_lock lock(g->lock);
        if (g->view->entries + static_cast<int64_t>(g->adds.size()) >= kMaxEntries || g->nextOrdinal == UINT32_MAX)
            return FailAt(FPM_E_FULL, g->path, "");
        PendingAdd add;
        if (int32_t rc = Prepare(tmpl, length, flags, &add); rc != FPM_OK) return rc;
        add.subject = id;
        auto [it, fresh] = g->ordinals.emplace(id, g->nextOrdinal);
        if (fresh) ++g->nextOrdinal;
        add.ordinal = it->second;
        g->adds.push_back(std::move(add));
        return FPM_OK;
    });
}

int32_t FpmGalleryRemove(FpmGallery* g, const char* subject) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = Writable(g); rc != FPM_OK) return rc;
        if (subject == nullptr) return Fail(FPM_E_ARGUMENT, "no subject");
        const std::string id(subject);
        if (!ValidSubject(id)) return Fail(FPM_E_SUBJECT, "");
        std::unique_lock lock(g->lock);
        std::string why;
        const View& v = *g->view;
        const SubjectNames* names = v.Names(&why);
        if (names == nullptr) return FailAt(FPM_E_DAMAGED, g->path, why);
        const SubjectIndex* s = v.Subjects(&why);  // built with the names
        std::vector<uint64_t> ids;
        if (auto it = names->byId.find(id); it != names->byId.end())
            for (int64_t p : s->Positions(it->second)) {
                EntryRef e;
                if (!v.Entry(p, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
                if (!std::binary_search(g->removals.begin(), g->removals.end(), e.id)) ids.push_back(e.id);
            }
        const auto pending = std::count_if(g->adds.begin(), g->adds.end(), [&](const PendingAdd& a) { return a.subject == id; });
        if (ids.empty() && pending == 0) return FailAt(FPM_E_UNKNOWN_SUBJECT, g->path, "no subject \"" + id + "\"");
        std::erase_if(g->adds, [&](const PendingAdd& a) { return a.subject == id; });
        std::vector<uint64_t> merged;
        std::merge(g->removals.begin(), g->removals.end(), ids.begin(), ids.end(), std::back_inserter(merged));
        g->removals = std::move(merged);
        return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(ids.size()) + pending, INT32_MAX));
    });
}

int32_t FpmGalleryDiscard(FpmGallery* g) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = Writable(g); rc != FPM_OK) return rc;
        std::unique_lock lock(g->lock);
        g->adds.clear();
        g->removals.clear();
        return LoadOrdinals(g);
    });
}

int32_t FpmGalleryCommit(FpmGallery* g) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = Writable(g); rc != FPM_OK) return rc;
        std::unique_lock lock(g->lock);
        if (g->adds.empty() && g->removals.empty()) return FPM_OK;
        const View& v = *g->view;
        Commit c = v.commit;
        std::vector<PartEntry> entries(g->adds.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const PendingAdd& a = g->adds[i];
            entries[i] = {c.nextId + i, a.ordinal, a.subject, a.bytes.data(), static_cast<uint32_t>(a.bytes.size()),
                          a.filter.data(), true, a.compact.data(), static_cast<uint32_t>(a.compact.size())};
        }
        std::string why;
        const int fd = g->fd.get();
        const bool written = WriteTemplateParts(fd, entries, &c, &why) &&
                             (g->removals.empty() || WriteRemovalPart(fd, g->removals, &c, &why)) &&
                             SyncData(fd, &why);
        if (!written) return FailAt(FPM_E_IO, g->path, why);
        c.number += 1;
        c.nextId += entries.size();
        c.nextOrdinal = g->nextOrdinal;
        uint8_t slot[kSlotSize];
        EncodeCommit(c, slot);
        if (!WriteAt(fd, slot, sizeof slot, kSlotOffset[1 - v.slot], &why) || !SyncData(fd, &why))
            return FailAt(FPM_E_IO, g->path, why);
        g->adds.clear();
        g->removals.clear();
        std::shared_ptr<const View> next;
        if (int32_t rc = BuildView(fd, g->path, &next, &why); rc != FPM_OK) return FailAt(rc, g->path, why);
        g->view = std::move(next);
        return FPM_OK;
    });
}

int32_t FpmGalleryCompact(FpmGallery* g) {
    return Guarded([&]() -> int32_t {
        if (int32_t rc = Writable(g); rc != FPM_OK) return rc;
        std::unique_lock lock(g->lock);
        if (!g->adds.empty() || !g->removals.empty()) return FailAt(FPM_E_PENDING, g->path, "");
        const View& v = *g->view;
        if (v.removed == 0 && v.parts.size() <= 1) return FPM_OK;
        std::string why;
        std::vector<PartEntry> entries;
        entries.reserve(static_cast<size_t>(v.entries - v.removed));
        std::vector<uint32_t> renumber(v.ordinals, UINT32_MAX);
        uint32_t ordinals = 0;
        for (int64_t p = 0; p < v.entries; ++p) {
            if (v.Removed(p)) continue;
            EntryRef e;
            if (!v.Entry(p, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
            if (renumber[e.ordinal] == UINT32_MAX) renumber[e.ordinal] = ordinals++;
            const Run& r = v.RunOf(p);
            const uint8_t* filter = r.filters != nullptr ? r.filters + (p - r.first) * FPMATCH_FILTER_RECORD_SIZE : nullptr;
            PartEntry entry{e.id, renumber[e.ordinal], e.subject, e.templateData, e.templateLength, filter};
            // Parts written without compact records (or with an index that
            // does not fit) get them made now.
            const int64_t j = p - r.first;
            if (r.compact != nullptr && r.compactIndex[j] <= r.compactIndex[j + 1] &&
                r.compactIndex[j + 1] <= r.compactSize) {
                entry.hasCompact = true;
                entry.compact = r.compact + r.compactIndex[j];
                entry.compactLength = r.compactIndex[j + 1] - r.compactIndex[j];
            }
            entries.push_back(entry);
        }
        const std::string aside = g->path + ".compacting";
        UniqueFd fd(::open(aside.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd || !TryLock(fd.get())) return FailAt(FPM_E_IO, g->path, SystemReason("cannot write " + aside));
        Commit c;
        c.number = v.commit.number + 1;
        c.nextId = v.commit.nextId;
        c.nextOrdinal = ordinals;
        uint8_t header[kHeaderSize];
        bool ok = WriteTemplateParts(fd.get(), entries, &c, &why);
        if (ok) {
            EncodeFileHeader(c, Commit{}, header);
            ok = WriteAt(fd.get(), header, sizeof header, 0, &why) && SyncData(fd.get(), &why);
        }
        if (ok && ::rename(aside.c_str(), g->path.c_str()) != 0) ok = (why = SystemReason("cannot rename"), false);
        if (!ok) {
            ::unlink(aside.c_str());
            return FailAt(FPM_E_IO, g->path, why);
        }
        g->fd = std::move(fd);
        if (!SyncFolderOf(g->path, &why)) return FailAt(FPM_E_IO, g->path, why);
        std::shared_ptr<const View> next;
        if (int32_t rc = BuildView(g->fd.get(), g->path, &next, &why); rc != FPM_OK) return FailAt(rc, g->path, why);
        g->view = std::move(next);
        return LoadOrdinals(g);
    });
}

}  // extern "C"
