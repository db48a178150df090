// Galleries for the tool's commands, through the identification library
// (fpmatch_id.h): an owning handle, a new gallery written aside and put in
// place of a file, and what the tool says when the library refuses: the
// library's own text (FpmLastErrorDetail, else FpmCodeText), never one of
// the tool's.
#ifndef FPMATCH_TOOL_ID_GALLERY_H
#define FPMATCH_TOOL_ID_GALLERY_H

#include <cstdint>
#include <memory>
#include <string>

#include "fpmatch_id.h"

namespace fpmatch::tool {

struct GalleryCloser {
    void operator()(FpmGallery* g) const { FpmGalleryClose(g); }
};
using GalleryHandle = std::unique_ptr<FpmGallery, GalleryCloser>;

// The library's text for the failure `code` that a call just returned, with
// a leading "PATH: " left out when `path` is given (the caller names it).
std::string LibraryText(int32_t code, const std::string& path = std::string());

// Reports the failure as "fpmatch: PATH: text".
void ReportLibrary(const std::string& path, int32_t code, const std::string& suffix = std::string());

// The exit code for a library failure: kExitOutput for a file that could
// not be written or created (`writing`), kExitInternal when memory ran out,
// else kExitInput.
int ExitForCode(int32_t code, bool writing);

// Whether `code` refuses a template or an ISO record (the core's template
// and adaptation codes), rather than the gallery or the call.
inline bool IsTemplateCode(int32_t code) {
    return (code <= FPM_E_TEMPLATE_BASE && code > FPM_E_GALLERY_BASE) ||
           (code <= FPM_E_ADAPT_BASE && code > FPM_E_WRITE_BASE);
}

// Opens `path` (FPM_OPEN_READ or FPM_OPEN_WRITE); on failure reports it,
// sets *exitCode and returns null.
GalleryHandle OpenGallery(const std::string& path, int32_t mode, int* exitCode);

// The handle's counts; on failure reports it, sets *exitCode and returns
// false.
bool GalleryStat(FpmGallery* g, const std::string& path, FpmGalleryStat* stat, int* exitCode);

// A new gallery written beside `path` (PATH.new-PID) and renamed over it
// once committed, so that `path` shows the old file or the whole new one.
// Destroyed before Replace, it removes what it wrote.
class NewGallery {
public:
    // Creates the file aside; on failure reports it, sets *exitCode and
    // returns null.
    static std::unique_ptr<NewGallery> Create(const std::string& path, int* exitCode);
    ~NewGallery();
    NewGallery(const NewGallery&) = delete;
    NewGallery& operator=(const NewGallery&) = delete;

    FpmGallery* Get() const { return gallery_.get(); }
    // Commits and closes the new file. On failure reports it and returns
    // false.
    bool Commit();
    // Renames the committed file over `path`. On failure reports it and
    // returns false (`path` untouched).
    bool Place();
    bool Replace() { return Commit() && Place(); }

private:
    NewGallery() = default;
    std::string path_, aside_;
    GalleryHandle gallery_;
    bool placed_ = false;
};

// A subject id held by the library's fixed arrays, as a string.
inline std::string SubjectOf(const FpmHit& h) { return std::string(h.subject, static_cast<size_t>(h.subjectLength)); }
inline std::string SubjectOf(const FpmEntry& e) { return std::string(e.subject, static_cast<size_t>(e.subjectLength)); }

}  // namespace fpmatch::tool

#endif
