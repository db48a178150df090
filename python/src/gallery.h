// The gallery binding's shared pieces: gallery.cpp calls the identification
// library (fpmatch_id.h) for fpmatch.Gallery, gallery_module.cpp declares
// the Python types and documents them.
#ifndef FPMATCH_PYTHON_GALLERY_H
#define FPMATCH_PYTHON_GALLERY_H

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fpmatch_id.h"

namespace fpmatch::python {

namespace py = pybind11;

// Python types made once at import (gallery_module.cpp) and kept for the
// life of the process.
struct GalleryTypes {
    PyObject* error = nullptr;  // fpmatch.GalleryError
    PyObject* hit = nullptr;    // fpmatch.Hit
    PyObject* entry = nullptr;  // fpmatch.Entry
    PyObject* stat = nullptr;   // fpmatch.GalleryStat
    PyObject* probe = nullptr;  // fpmatch.Probe
};
extern GalleryTypes g_types;

// A code the library returned, with the detail it gave for it; raised as
// fpmatch.GalleryError.
struct GalleryFault {
    int32_t code = 0;
    std::string reason;
    std::string path;
    std::optional<int64_t> index;  // the entry's position, when one entry is at fault
};

// The library's handle with its lock (gallery.cpp).
struct Handle;

// One stored template, copied out of the library's map.
struct EntryCopy {
    int64_t position = 0;
    int64_t id = 0;
    std::string subject;
    std::vector<uint8_t> bytes;
    std::optional<std::vector<uint8_t>> shortTemplate;
    bool removed = false;
};

// A search: the library's options and the probe's bytes.
struct SearchArgs {
    FpmSearchOptions options{};
    std::vector<uint8_t> probe;
};

// fpmatch.Gallery.
class Gallery {
public:
    // Gallery.create / Gallery.open.
    static std::shared_ptr<Gallery> Open(const py::object& pathArg, bool writable, bool create);
    Gallery(std::shared_ptr<Handle> h, std::string path, bool writable)
        : handle_(std::move(h)), path_(std::move(path)), writable_(writable) {}

    const std::string& Path() const { return path_; }
    bool Writable() const { return writable_; }
    bool Closed() const { return !handle_; }
    void Close() { handle_.reset(); }

    FpmGalleryStat GetStat() const;
    FpmGalleryStorage GetStorage() const;
    py::object StatObject() const;
    void Add(const py::handle& subjectArg, const py::handle& tmpl, bool adapt);
    int32_t Remove(const py::handle& subjectArg);
    // commit, compact, refresh and discard; `moves` when the call may move
    // the handle to another state.
    int32_t Change(int32_t (*fn)(FpmGallery*), bool moves);
    void Check();
    py::list Subjects() const;
    // Copies of the entries at `positions` (negative ones count from the
    // end), or of every entry (`all`); `liveOnly` leaves removed ones out.
    // IndexError when a position is outside the gallery. The counts are
    // read only when needed (they read every entry), so the entries before a
    // damaged one stay readable.
    std::vector<EntryCopy> Entries(std::vector<int64_t> positions, bool all, bool liveOnly) const;
    EntryCopy One(int64_t position) const { return Entries({position}, false, false).front(); }
    py::object EntryObject(int64_t position) const;
    // Ranks with `args` and the state lock held across the count and the
    // search: top 0 asks for every subject (or template) the state holds.
    std::vector<FpmHit> Search(const SearchArgs& args) const;
    py::list Identify(const py::handle& probe, const py::handle& top, const py::handle& threshold,
                      const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const;
    // identify for each probe of an iterable, in one library call: a list
    // of hit lists; a refused probe raises GalleryError naming its place.
    py::list IdentifyBatch(const py::iterable& probes, const py::handle& top, const py::handle& threshold,
                           const py::handle& threads, const py::handle& screen, bool byEntry, bool adapt) const;
    int32_t Verify(const py::handle& subjectArg, const py::handle& probe, bool adapt) const;
    std::string Repr() const;

private:
    std::shared_ptr<Handle> Get() const;
    std::shared_ptr<Handle> handle_;  // null once closed
    std::string path_;
    bool writable_ = false;
};

// Text the library wrote (UTF-8; names of version-1 entries may not be:
// their stray bytes become U+FFFD).
py::str Text(const char* s, size_t n);
py::bytes Bytes(const std::vector<uint8_t>& b);

}  // namespace fpmatch::python

#endif
