// Packed gallery files: mapping, messages, packing and appending.
#include "gallery_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_io.h"
#include "gallery.h"
#include "output.h"
#include "report.h"
#include "template_load.h"

namespace fpmatch::tool {

namespace {

uint64_t Le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// Buffered writes at increasing file offsets.
class Writer {
public:
    Writer(int fd, uint64_t at) : fd_(fd), at_(at) { buffer_.reserve(kBuffer); }
    void Put(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        while (n > 0 && ok_) {
            const size_t take = std::min(n, kBuffer - buffer_.size());
            buffer_.insert(buffer_.end(), p, p + take);
            p += take;
            n -= take;
            if (buffer_.size() == kBuffer) Flush();
        }
    }
    void Zeros(uint64_t n) {
        static const uint8_t zeros[4096] = {};
        while (n > 0) {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof zeros));
            Put(zeros, take);
            n -= take;
        }
    }
    void PadTo(uint64_t offset) { Zeros(offset - Position()); }
    uint64_t Position() const { return at_ + buffer_.size(); }
    bool Flush() {
        size_t done = 0;
        while (ok_ && done < buffer_.size()) {
            const ssize_t w = pwrite(fd_, buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(at_ + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok_ = false;
                error_ = errno ? std::strerror(errno) : "write failed";
                break;
            }
            done += static_cast<size_t>(w);
        }
        at_ += done;
        buffer_.clear();
        return ok_;
    }
    bool Ok() const { return ok_; }
    const std::string& Error() const { return error_; }

private:
    static constexpr size_t kBuffer = size_t{1} << 20;
    int fd_;
    uint64_t at_;
    std::vector<uint8_t> buffer_;
    bool ok_ = true;
    std::string error_;
};

int32_t StrideFor(const PackBatch& b) {
    uint32_t longest = 0;
    for (uint32_t n : b.lengths) longest = std::max(longest, n);
    return std::max<int32_t>(FPMATCH_GALLERY_MIN_STRIDE, static_cast<int32_t>((longest + 7) / 8 * 8));
}

uint64_t NamesSize(const PackBatch& b) {
    uint64_t n = 0;
    for (const std::string& s : b.names) n += s.size();
    return n;
}

// Streams a planned segment (header, directory, templates, shorts, names).
bool WriteSegment(int fd, const GallerySegment& seg, const PackBatch& b, PackResult* r, std::string* reason) {
    Writer w(fd, seg.offset);
    uint8_t record[FPMATCH_GALLERY_SEGMENT_HEADER_SIZE];
    WriteGallerySegmentHeader(&seg, record, sizeof record);
    w.Put(record, sizeof record);
    uint64_t nameAt = 0;
    for (size_t j = 0; j < b.Count(); ++j) {
        WriteGalleryEntry(nameAt, static_cast<int32_t>(b.names[j].size()), static_cast<int32_t>(b.lengths[j]), record,
                          FPMATCH_GALLERY_ENTRY_SIZE);
        w.Put(record, FPMATCH_GALLERY_ENTRY_SIZE);
        nameAt += b.names[j].size();
    }
    w.PadTo(seg.templatesOffset);
    for (size_t j = 0; j < b.Count(); ++j) {
        w.Put(b.arena.data() + b.offsets[j], b.lengths[j]);
        w.Zeros(static_cast<uint64_t>(seg.stride) - b.lengths[j]);
    }
    if (seg.hasShorts) {
        w.PadTo(seg.shortsOffset);
        FeatureStorage storage;
        FeatureSet fs;
        std::vector<uint8_t> slot(kMaxKeptTemplate + FPMATCH_SHORT_TEMPLATE_SIZE);
        uint8_t shortTemplate[FPMATCH_SHORT_TEMPLATE_SIZE];
        for (size_t j = 0; j < b.Count(); ++j) {
            std::fill(slot.begin(), slot.end(), 0);
            std::copy_n(b.arena.begin() + static_cast<ptrdiff_t>(b.offsets[j]), b.lengths[j], slot.begin());
            std::memset(shortTemplate, 0, sizeof shortTemplate);
            BindFeatureSet(&fs, &storage);
            if (DecodeFeature(slot.data(), &fs) != FPMATCH_DECODED ||
                WriteShortTemplate(&fs, shortTemplate, sizeof shortTemplate) != FPMATCH_SHORT_TEMPLATE_SIZE) {
                std::memset(shortTemplate, 0, sizeof shortTemplate);  // a zero slot: not screened
                ++r->withoutShort;
            }
            w.Put(shortTemplate, sizeof shortTemplate);
        }
    }
    w.PadTo(seg.namesOffset);
    for (const std::string& s : b.names) w.Put(s.data(), s.size());
    if (!w.Flush()) {
        *reason = "cannot write: " + w.Error();
        return false;
    }
    return true;
}

bool Sync(int fd, std::string* reason) {
    if (fsync(fd) == 0) return true;
    *reason = Errno("cannot write (sync)");
    return false;
}

bool PutAt(int fd, const uint8_t* data, size_t n, uint64_t at, std::string* reason) {
    Writer w(fd, at);
    w.Put(data, n);
    if (w.Flush()) return true;
    *reason = "cannot write: " + w.Error();
    return false;
}

}  // namespace

std::string GalleryCodeMessage(int32_t code, const uint8_t* bytes, size_t size) {
    switch (code) {
        case FPMATCH_GALLERY_NOT_GALLERY:
            if (size >= 2 && bytes[0] == 'F' && bytes[1] == 'M')
                return "not a packed gallery (.fpg): it is an ISO/IEC 19794-2 record";
            if (size >= 1 && bytes[0] == 3) return "not a packed gallery (.fpg): it looks like a native template";
            return "not a packed gallery (.fpg): the file does not start with the gallery signature";
        case FPMATCH_GALLERY_BAD_VERSION:
            return "gallery format version " + (size >= 12 ? std::to_string(Le(bytes + 8, 4)) : std::string("?")) +
                   " is not supported (this fpmatch reads version " + std::to_string(FPMATCH_GALLERY_VERSION) + ")";
        case FPMATCH_GALLERY_TRUNCATED_HEADER:
            return "truncated: a gallery header needs " + std::to_string(FPMATCH_GALLERY_HEADER_SIZE) +
                   " bytes, the file has " + std::to_string(size);
        case FPMATCH_GALLERY_BAD_HEADER:
            return "damaged gallery header (header size, entry or segment count or used size out of range)";
        case FPMATCH_GALLERY_TRUNCATED:
            return "truncated: the gallery header declares " +
                   (size >= 48 ? std::to_string(Le(bytes + 40, 8)) : std::string("more")) + " bytes, the file has " +
                   std::to_string(size);
        case FPMATCH_GALLERY_BAD_SEGMENT:
            return "damaged gallery: a segment header is missing, out of order or not where the file header says";
        case FPMATCH_GALLERY_BAD_STRIDE:
            return "damaged gallery: a segment's template slot size is outside 328..1048576 bytes";
        case FPMATCH_GALLERY_SECTION_OUT_OF_BOUNDS:
            return "damaged gallery: a segment's templates, names or short templates lie outside the file";
        case FPMATCH_GALLERY_COUNT_MISMATCH:
            return "damaged gallery: the segments' entry counts disagree with each other or with the header";
        case FPMATCH_GALLERY_BAD_RANGE: return "entry or segment number outside the gallery";
        case FPMATCH_GALLERY_BAD_ENTRY:
            return "damaged entry: its name or template length does not fit its segment";
        case FPMATCH_GALLERY_BAD_PROBE: return "the probe could not be prepared";
        case FPMATCH_GALLERY_NULL_INPUT: return "no data";
        default: return "refused by the library (code " + std::to_string(code) + ")";
    }
}

std::unique_ptr<MappedGallery> MappedGallery::Open(const std::string& path, std::string* reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        *reason = errno == ENOENT ? "no such file" : Errno("cannot read");
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = "is a folder, a gallery file was expected";
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        return nullptr;
    }
    if (st.st_size == 0) {
        *reason = "empty file";
        return nullptr;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *reason = Errno("cannot read");
        return nullptr;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *reason = Errno("cannot map");
        return nullptr;
    }
    std::unique_ptr<MappedGallery> g(new MappedGallery());
    g->path_ = path;
    g->data_ = static_cast<const uint8_t*>(map);
    g->size_ = size;
    g->mapped_ = size;
    const int32_t code = CheckGallery(g->data_, g->size_, &g->info_);
    if (code < 0) {
        *reason = GalleryCodeMessage(code, g->data_, g->size_);
        return nullptr;
    }
    return g;
}

MappedGallery::~MappedGallery() {
    if (data_ != nullptr) munmap(const_cast<uint8_t*>(data_), mapped_);
}

bool MappedGallery::Entry(int32_t index, GalleryEntry* entry, std::string* reason) const {
    const int32_t code = GetGalleryEntry(data_, size_, index, entry);
    if (code == 0) return true;
    *reason = "entry " + std::to_string(index) + ": " + GalleryCodeMessage(code, data_, size_);
    return false;
}

bool MappedGallery::Segment(int32_t segment, GallerySegment* out, std::string* reason) const {
    const int32_t code = GetGallerySegment(data_, size_, segment, out);
    if (code == 0) return true;
    *reason = "segment " + std::to_string(segment) + ": " + GalleryCodeMessage(code, data_, size_);
    return false;
}

std::string MappedGallery::Name(int32_t index) const {
    GalleryEntry e{};
    if (GetGalleryEntry(data_, size_, index, &e) != 0 || e.nameLength == 0) return "#" + std::to_string(index);
    return std::string(e.name, static_cast<size_t>(e.nameLength));
}

void PackBatch::Add(const std::vector<uint8_t>& bytes, const std::string& name) {
    const size_t kept = std::min<size_t>(bytes.size(), kMaxKeptTemplate);
    if (kept < bytes.size()) ++cut;
    offsets.push_back(arena.size());
    lengths.push_back(static_cast<uint32_t>(kept));
    arena.insert(arena.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(kept));
    names.push_back(name);
}

bool WriteNewGallery(const std::string& path, const PackBatch& batch, bool shorts, PackResult* result,
                     std::string* reason) {
    GallerySegment seg{};
    seg.offset = FPMATCH_GALLERY_HEADER_SIZE;
    seg.firstIndex = 0;
    seg.entryCount = static_cast<int32_t>(batch.Count());
    seg.stride = StrideFor(batch);
    seg.hasShorts = shorts ? 1 : 0;
    seg.namesSize = NamesSize(batch);
    if (batch.Count() == 0 || batch.Count() > static_cast<size_t>(INT32_MAX) || PlanGallerySegment(&seg) != 0) {
        *reason = "cannot lay out " + std::to_string(batch.Count()) + " templates as one gallery segment";
        return false;
    }
    GalleryInfo info{};
    info.entryCount = seg.entryCount;
    info.segmentCount = 1;
    info.firstSegmentOffset = info.lastSegmentOffset = seg.offset;
    info.usedSize = seg.endOffset;
    const std::string temp = path + ".tmp-" + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *reason = Errno("cannot write");
        return false;
    }
    uint8_t header[FPMATCH_GALLERY_HEADER_SIZE];
    WriteGalleryHeader(&info, header, sizeof header);
    *result = PackResult{};
    bool ok = PutAt(fd, header, sizeof header, 0, reason) && WriteSegment(fd, seg, batch, result, reason) &&
              Sync(fd, reason);
    if (close(fd) != 0 && ok) {
        ok = false;
        *reason = Errno("cannot write");
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        *reason = Errno("cannot write");
    }
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    result->info = info;
    result->info.version = FPMATCH_GALLERY_VERSION;
    result->info.shortCount = shorts ? info.entryCount : 0;
    result->stride = seg.stride;
    result->shorts = shorts;
    result->cut = batch.cut;
    result->segmentBytes = seg.endOffset - seg.offset;
    return true;
}

bool AppendToGallery(const std::string& path, const PackBatch& batch, bool shorts, PackResult* result,
                     std::string* reason, bool* badGallery) {
    *badGallery = false;
    GalleryInfo info{};
    GallerySegment last{};
    {
        auto existing = MappedGallery::Open(path, reason);
        if (!existing) {
            *badGallery = true;
            return false;
        }
        info = existing->Info();
        if (info.segmentCount > 0 && !existing->Segment(info.segmentCount - 1, &last, reason)) {
            *badGallery = true;
            return false;
        }
    }
    if (info.segmentCount >= FPMATCH_GALLERY_MAX_SEGMENTS ||
        batch.Count() > static_cast<size_t>(INT32_MAX - info.entryCount)) {
        *reason = "the gallery cannot take another segment of " + std::to_string(batch.Count()) +
                  " entries (at most " + std::to_string(FPMATCH_GALLERY_MAX_SEGMENTS) +
                  " segments and 2^31 - 1 entries); pack it anew";
        *badGallery = true;
        return false;
    }
    // Short templates continue when every entry so far has one.
    shorts = shorts || (info.entryCount > 0 && info.shortCount == info.entryCount);
    GallerySegment seg{};
    seg.offset = (info.usedSize + 63) / 64 * 64;
    seg.firstIndex = info.entryCount;
    seg.entryCount = static_cast<int32_t>(batch.Count());
    seg.stride = StrideFor(batch);
    seg.hasShorts = shorts ? 1 : 0;
    seg.namesSize = NamesSize(batch);
    if (PlanGallerySegment(&seg) != 0) {
        *reason = "cannot lay out " + std::to_string(batch.Count()) + " templates as a gallery segment";
        return false;
    }
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *reason = Errno("cannot write");
        return false;
    }
    *result = PackResult{};
    // 1. the new segment after the used size; 2. the link from the previous
    // last segment; 3. the file header. Each synced before the next.
    bool ok = WriteSegment(fd, seg, batch, result, reason) && Sync(fd, reason);
    uint8_t record[FPMATCH_GALLERY_SEGMENT_HEADER_SIZE];
    if (ok && info.segmentCount > 0) {
        last.nextOffset = seg.offset;
        WriteGallerySegmentHeader(&last, record, sizeof record);
        ok = PutAt(fd, record, sizeof record, last.offset, reason) && Sync(fd, reason);
    }
    GalleryInfo updated = info;
    updated.entryCount += seg.entryCount;
    updated.segmentCount += 1;
    if (updated.firstSegmentOffset == 0) updated.firstSegmentOffset = seg.offset;
    updated.lastSegmentOffset = seg.offset;
    updated.usedSize = seg.endOffset;
    if (ok) {
        WriteGalleryHeader(&updated, record, sizeof record);
        ok = PutAt(fd, record, FPMATCH_GALLERY_HEADER_SIZE, 0, reason) && Sync(fd, reason);
    }
    // Bytes left beyond the new end by an earlier interrupted append go.
    if (ok && ftruncate(fd, static_cast<off_t>(seg.endOffset)) != 0) {
        ok = false;
        *reason = Errno("cannot write");
    }
    close(fd);
    if (!ok) return false;
    result->info = updated;
    result->info.shortCount = info.shortCount + (shorts ? seg.entryCount : 0);
    result->stride = seg.stride;
    result->shorts = shorts;
    result->cut = batch.cut;
    result->segmentBytes = seg.endOffset - seg.offset;
    return true;
}

}  // namespace fpmatch::tool
