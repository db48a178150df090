// Packed gallery files (.fpg) for the fpmatch tool: a read-only memory map
// validated by the library, and the writer that packs templates into a new
// file or appends them as a new segment. The layout itself is the library's
// (fpmatch.h, "Packed galleries"); the tool writes it only through the
// library's Plan/Write functions.
#ifndef FPMATCH_TOOL_GALLERY_FILE_H
#define FPMATCH_TOOL_GALLERY_FILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fpmatch.h"

namespace fpmatch::tool {

// Plain-language meaning of a FPMATCH_GALLERY_* code. `bytes`/`size`, when
// given, let the message quote the file's own fields (its version, the size
// it declares).
std::string GalleryCodeMessage(int32_t code, const uint8_t* bytes = nullptr, size_t size = 0);

// A gallery file mapped read-only and validated (CheckGallery).
class MappedGallery {
public:
    // Maps and validates `path`. On failure returns nullptr and sets
    // `reason` to one line (no such file, a folder, empty, not a gallery,
    // unsupported version, truncated, damaged ...).
    static std::unique_ptr<MappedGallery> Open(const std::string& path, std::string* reason);
    ~MappedGallery();
    MappedGallery(const MappedGallery&) = delete;
    MappedGallery& operator=(const MappedGallery&) = delete;

    const std::string& Path() const { return path_; }
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    const GalleryInfo& Info() const { return info_; }
    // Entry `index`; false with `reason` set when the library refuses it.
    bool Entry(int32_t index, GalleryEntry* entry, std::string* reason) const;
    // Segment `segment` (0-based); false with `reason` set on a refusal.
    bool Segment(int32_t segment, GallerySegment* out, std::string* reason) const;
    // The entry's name, or "#index" when it has none or is damaged.
    std::string Name(int32_t index) const;

private:
    MappedGallery() = default;
    std::string path_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;
    GalleryInfo info_{};
};

// The longest template kept whole; longer ones (ISO records with large
// extended data) are cut to it. The matcher reads at most 328 bytes.
constexpr uint32_t kMaxKeptTemplate = 1024;

// Templates gathered for one new segment: the bytes of all templates end to
// end, and per template its place, length and name.
struct PackBatch {
    std::vector<uint8_t> arena;
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> lengths;
    std::vector<std::string> names;
    size_t cut = 0;  // templates longer than kMaxKeptTemplate, stored cut
    void Add(const std::vector<uint8_t>& bytes, const std::string& name);
    size_t Count() const { return names.size(); }
};

struct PackResult {
    GalleryInfo info{};          // of the gallery as written
    int32_t stride = 0;
    bool shorts = false;         // the new segment holds short templates
    size_t withoutShort = 0;     // templates that could not become short templates (zero slots)
    size_t cut = 0;              // templates longer than the largest kept length, cut
    uint64_t segmentBytes = 0;
};

// Writes `batch` as a new gallery at `path` (through a temporary file that
// replaces `path` when complete). Returns false with `reason` set.
bool WriteNewGallery(const std::string& path, const PackBatch& batch, bool shorts, PackResult* result,
                     std::string* reason);

// Appends `batch` to the gallery at `path` as a new segment: the segment is
// written after the used size, then the previous last segment is linked to
// it and the file header rewritten, each step synced; an interruption before
// the header is rewritten leaves the gallery as it was. Short templates are
// written when `shorts` is set or every entry of the gallery has one.
// Returns false with `reason` set; `badGallery` tells whether the existing
// file was refused (as opposed to a write failure).
bool AppendToGallery(const std::string& path, const PackBatch& batch, bool shorts, PackResult* result,
                     std::string* reason, bool* badGallery);

}  // namespace fpmatch::tool

#endif
