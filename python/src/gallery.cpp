// fpmatch.Gallery: gallery files of enrolled subjects, opened, changed and
// searched through the identification library (fpmatch_id.h). This file maps
// no file and ranks nothing itself: it converts arguments, calls the
// library with the GIL released, and raises the library's own texts.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "gallery.h"
#include "gallery_internal.h"

namespace fpmatch::python {

GalleryTypes g_types;

py::str Text(const char* s, size_t n) {
    PyObject* t = PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "replace");
    if (t == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(t);
}

py::bytes Bytes(const std::vector<uint8_t>& b) {
    return py::bytes(reinterpret_cast<const char*>(b.data()), b.size());
}

std::shared_ptr<Gallery> Gallery::Open(const py::object& pathArg, bool writable, bool create) {
    const py::module_ os = py::module_::import("os");
    const std::string native = py::bytes(os.attr("fsencode")(pathArg));
    const std::string shown = py::str(os.attr("fsdecode")(pathArg));
    if (native.find('\0') != std::string::npos) throw py::value_error("path: embedded null byte");
    auto handle = std::make_shared<Handle>();
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] {
            return create ? FpmGalleryCreate(native.c_str(), &handle->gallery)
                          : FpmGalleryOpen(native.c_str(), writable ? FPM_OPEN_WRITE : FPM_OPEN_READ,
                                           &handle->gallery);
        });
    }
    if (o.code < 0) Raise(o, shown);
    return std::make_shared<Gallery>(std::move(handle), shown, writable || create);
}

namespace {

// What a counting call (FpmGalleryGetStat, FpmGalleryGetStorage) writes for
// the handle's state: the GIL released, the state lock shared; a failure
// raises GalleryError.
template <class Counts>
Counts ReadCounts(const std::shared_ptr<Handle>& h, const std::string& path, int32_t (*call)(FpmGallery*, Counts*)) {
    Counts counts{};
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        o = Call([&] { return call(h->gallery, &counts); });
    }
    if (o.code < 0) Raise(o, path);
    return counts;
}

}  // namespace

FpmGalleryStorage Gallery::GetStorage() const { return ReadCounts(Get(), path_, FpmGalleryGetStorage); }

FpmGalleryStat Gallery::GetStat() const { return ReadCounts(Get(), path_, FpmGalleryGetStat); }

py::object Gallery::StatObject() const {
    const FpmGalleryStat s = GetStat();
    return py::reinterpret_borrow<py::object>(g_types.stat)(
        s.version, s.writable != 0, s.templates, s.subjects, s.entries, s.removed, s.shorts, s.parts, s.commit,
        s.fileSize, s.pendingTemplates, s.pendingRemovals);
}

void Gallery::Add(const py::handle& subjectArg, const py::handle& tmpl, bool adapt) {
    const auto h = Get();
    const std::string subject = SubjectArg(subjectArg);
    const std::vector<uint8_t> t = TemplateArg(tmpl, "a template");
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] { return FpmGalleryAdd(h->gallery, subject.c_str(), Data(t), t.size(), adapt ? FPM_ADD_ADAPT : 0); });
    }
    if (o.code < 0) Raise(o, path_);
}

int32_t Gallery::Remove(const py::handle& subjectArg) {
    const auto h = Get();
    const std::string subject = SubjectArg(subjectArg);
    Outcome o;
    {
        py::gil_scoped_release release;
        o = Call([&] { return FpmGalleryRemove(h->gallery, subject.c_str()); });
    }
    if (o.code < 0) Raise(o, path_);
    return o.code;
}

int32_t Gallery::Change(int32_t (*fn)(FpmGallery*), bool moves) {
    const auto h = Get();
    Outcome o;
    {
        py::gil_scoped_release release;
        std::unique_lock<std::shared_mutex> lock(h->state, std::defer_lock);
        if (moves) lock.lock();
        o = Call([&] { return fn(h->gallery); });
    }
    if (o.code < 0) Raise(o, path_);
    return o.code;
}

void Gallery::Check() {
    const auto h = Get();
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        o = Call([&] { return FpmGalleryCheck(h->gallery); });
    }
    if (o.code < 0) Raise(o, path_);
}

py::list Gallery::Subjects() const {
    const auto h = Get();
    std::vector<std::pair<std::string, int32_t>> found;
    Outcome o;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        FpmGalleryStat st{};
        o = Stat(*h, &st);
        char id[FPM_SUBJECT_MAX + 1];
        for (int64_t k = 0; o.code >= 0 && k < st.subjects; ++k) {
            int32_t templates = 0;
            o = Call([&] { return FpmGalleryGetSubject(h->gallery, k, id, &templates); });
            if (o.code >= 0) found.emplace_back(id, templates);
        }
    }
    if (o.code < 0) Raise(o, path_);
    py::list out;
    for (const auto& [id, templates] : found) out.append(py::make_tuple(Text(id.data(), id.size()), templates));
    return out;
}

std::vector<EntryCopy> Gallery::Entries(std::vector<int64_t> positions, bool all, bool liveOnly) const {
    const auto h = Get();
    std::vector<EntryCopy> out;
    Outcome o;
    int64_t failedAt = -1;
    {
        py::gil_scoped_release release;
        std::shared_lock lock(h->state);
        const bool counted = all || std::any_of(positions.begin(), positions.end(), [](int64_t p) { return p < 0; });
        FpmGalleryStat st{};
        if (counted) o = Stat(*h, &st);
        if (o.code >= 0 && all) {
            positions.resize(static_cast<size_t>(st.entries));
            for (int64_t p = 0; p < st.entries; ++p) positions[static_cast<size_t>(p)] = p;
        }
        for (size_t k = 0; o.code >= 0 && k < positions.size(); ++k) {
            const int64_t p = positions[k] < 0 ? positions[k] + st.entries : positions[k];
            FpmEntry e{};
            o = Call([&] { return FpmGalleryGetEntry(h->gallery, p, &e); });
            if (o.code < 0) {
                failedAt = p;
            } else if (!liveOnly || !e.removed) {
                EntryCopy c;
                c.position = p;
                c.id = e.id;
                c.subject.assign(e.subject, static_cast<size_t>(e.subjectLength));
                c.bytes.assign(e.templateData, e.templateData + e.templateLength);
                if (e.shortTemplate != nullptr) c.shortTemplate.emplace(e.shortTemplate, e.shortTemplate + 512);
                c.removed = e.removed != 0;
                out.push_back(std::move(c));
            }
        }
    }
    // A position outside the gallery, in the library's words.
    if (o.code == FPM_E_ARGUMENT && failedAt != -1) throw py::index_error(o.detail);
    if (o.code < 0) Raise(o, path_, failedAt >= 0 ? std::optional<int64_t>(failedAt) : std::nullopt);
    return out;
}

py::object Gallery::EntryObject(int64_t position) const {
    const EntryCopy e = One(position);
    return py::reinterpret_borrow<py::object>(g_types.entry)(
        e.position, e.id, Text(e.subject.data(), e.subject.size()), Bytes(e.bytes),
        e.shortTemplate ? py::object(Bytes(*e.shortTemplate)) : py::object(py::none()), e.removed);
}

std::string Gallery::Repr() const {
    const std::string where = py::repr(py::str(path_)).cast<std::string>();
    if (Closed()) return "<fpmatch.Gallery " + where + ", closed>";
    return "<fpmatch.Gallery " + where + (writable_ ? ", writable>" : ", read-only>");
}

std::shared_ptr<Handle> Gallery::Get() const {
    if (!handle_) throw py::value_error("operation on a closed gallery (" + path_ + ")");
    return handle_;
}

bool IsGallery(const py::handle& obj) { return py::isinstance<Gallery>(obj); }

}  // namespace fpmatch::python
