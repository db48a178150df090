// Gallery handles: create, open, refresh, close, and what a handle tells of
// the state it sees (counts, entries, subjects, check).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "internal.h"

namespace fpmatch::id {

namespace {

constexpr int kOpenAttempts = 8;

// Opens `path`; for a writer also takes the lock, making sure the locked
// file is still the one at `path` (a compaction may have renamed a new file
// over it meanwhile).
int32_t OpenLocked(const std::string& path, bool writable, UniqueFd* out) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        UniqueFd fd(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT) return FailAt(FPM_E_NO_FILE, path, "no such file");
            if (errno == EISDIR) return FailAt(FPM_E_NOT_GALLERY, path, "is a folder, not a gallery");
            return FailAt(FPM_E_IO, path, SystemReason("cannot open"));
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && !S_ISREG(st.st_mode))
            return FailAt(FPM_E_NOT_GALLERY, path, S_ISDIR(st.st_mode) ? "is a folder, not a gallery"
                                                                       : "is not a regular file");
        if (!writable) {
            *out = std::move(fd);
            return FPM_OK;
        }
        if (!TryLock(fd.get())) {
            if (errno == EWOULDBLOCK) return FailAt(FPM_E_LOCKED, path, "another writer has the gallery open");
            return FailAt(FPM_E_IO, path, SystemReason("cannot lock"));
        }
        if (SameFile(fd.get(), path)) {
            *out = std::move(fd);
            return FPM_OK;
        }
    }
    return FailAt(FPM_E_LOCKED, path, "the file keeps being replaced");
}

int32_t OpenHandle(const std::string& path, bool writable, UniqueFd fd, FpmGallery** out) {
    auto g = std::make_unique<FpmGallery>();
    g->path = path;
    g->writable = writable;
    std::string why;
    if (int32_t rc = BuildView(fd.get(), path, &g->view, &why); rc != FPM_OK) return FailAt(rc, path, why);
    if (writable && g->view->version == 1)
        return FailAt(FPM_E_READ_ONLY, path,
                      "a version-1 gallery opens read-only; enrol its templates into a new gallery to change them");
    g->fd = std::move(fd);
    if (writable) {
        ::unlink((path + ".compacting").c_str());  // left by a compaction that was interrupted
        if (int32_t rc = LoadOrdinals(g.get()); rc != FPM_OK) return rc;
    }
    *out = g.release();
    return FPM_OK;
}

}  // namespace

int32_t LoadOrdinals(FpmGallery* g) {
    const View& v = *g->view;
    g->ordinals.clear();
    g->nextOrdinal = v.ordinals;
    std::string why;
    for (int64_t p = 0; p < v.entries; ++p) {
        EntryRef e;
        if (!v.Entry(p, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
        g->ordinals.emplace(std::string(e.subject), e.ordinal);
    }
    return FPM_OK;
}

}  // namespace fpmatch::id

using namespace fpmatch::id;

extern "C" {

int32_t FpmGalleryCreate(const char* path, FpmGallery** gallery) {
    return Guarded([&]() -> int32_t {
        if (path == nullptr || *path == '\0' || gallery == nullptr) return Fail(FPM_E_ARGUMENT, "no path");
        const std::string p(path);
        // Written aside, synced, then linked into place: the path shows a
        // whole empty gallery or nothing.
        const std::string aside = p + ".creating." + std::to_string(::getpid());
        UniqueFd fd(::open(aside.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) return FailAt(errno == ENOENT ? FPM_E_NO_FILE : FPM_E_IO, p, SystemReason("cannot create"));
        uint8_t header[kHeaderSize];
        Commit first;
        first.number = 1;
        EncodeFileHeader(first, Commit{}, header);
        std::string why;
        const bool written = TryLock(fd.get()) && WriteAt(fd.get(), header, sizeof header, 0, &why) &&
                             SyncData(fd.get(), &why);
        int linked = written ? ::link(aside.c_str(), p.c_str()) : -1;
        int linkErrno = errno;
        if (linked != 0 && written && (linkErrno == EPERM || linkErrno == ENOTSUP || linkErrno == EOPNOTSUPP)) {
            // A file system without hard links: claim the name with O_EXCL
            // and rename the finished file over it.
            UniqueFd claim(::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            linked = claim && ::rename(aside.c_str(), p.c_str()) == 0 ? 0 : -1;
            linkErrno = errno;
        }
        ::unlink(aside.c_str());
        if (!written) return FailAt(FPM_E_IO, p, why.empty() ? SystemReason("cannot lock") : why);
        if (linked != 0) {
            errno = linkErrno;
            return FailAt(linkErrno == EEXIST ? FPM_E_EXISTS : FPM_E_IO, p,
                          linkErrno == EEXIST ? "the file exists already" : SystemReason("cannot create"));
        }
        if (!SyncFolderOf(p, &why)) return FailAt(FPM_E_IO, p, why);
        return OpenHandle(p, true, std::move(fd), gallery);
    });
}

int32_t FpmGalleryOpen(const char* path, int32_t mode, FpmGallery** gallery) {
    return Guarded([&]() -> int32_t {
        if (path == nullptr || gallery == nullptr || (mode != FPM_OPEN_READ && mode != FPM_OPEN_WRITE))
            return Fail(FPM_E_ARGUMENT, "no path, or a mode other than FPM_OPEN_READ and FPM_OPEN_WRITE");
        UniqueFd fd;
        if (int32_t rc = OpenLocked(path, mode == FPM_OPEN_WRITE, &fd); rc != FPM_OK) return rc;
        return OpenHandle(path, mode == FPM_OPEN_WRITE, std::move(fd), gallery);
    });
}

void FpmGalleryClose(FpmGallery* gallery) { delete gallery; }

int32_t FpmGalleryRefresh(FpmGallery* g) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery");
        std::unique_lock lock(g->lock);
        if (g->writable) return 0;
        UniqueFd fresh;
        const bool replaced = !SameFile(g->fd.get(), g->path);
        if (replaced)
            if (int32_t rc = OpenLocked(g->path, false, &fresh); rc != FPM_OK) return rc;
        const int fd = replaced ? fresh.get() : g->fd.get();
        if (!replaced) {
            uint8_t head[kHeaderSize] = {};
            std::string why;
            Commit c;
            int slot = 0;
            uint64_t size = 0;
            if (g->view->version == 2 && FileSize(fd, &size, &why) && size >= kHeaderSize &&
                ReadAt(fd, head, kHeaderSize, 0, &why) && CurrentCommit(head, &c, &slot) &&
                c.number == g->view->commit.number)
                return 0;
            if (g->view->version == 1 && FileSize(fd, &size, &why) && size == g->view->map->size()) return 0;
        }
        std::shared_ptr<const View> view;
        std::string why;
        if (int32_t rc = BuildView(fd, g->path, &view, &why); rc != FPM_OK) return FailAt(rc, g->path, why);
        if (replaced) g->fd = std::move(fresh);
        g->view = std::move(view);
        return 1;
    });
}

int32_t FpmGalleryGetStat(FpmGallery* g, FpmGalleryStat* stat) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || stat == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery or no output");
        std::shared_lock lock(g->lock);
        const View& v = *g->view;
        std::string why;
        const SubjectIndex* s = v.Subjects(&why);
        if (s == nullptr) return FailAt(FPM_E_DAMAGED, g->path, why);
        FpmGalleryStat st{};
        st.version = v.version;
        st.writable = g->writable;
        st.templates = v.entries - v.removed;
        st.subjects = static_cast<int64_t>(s->ids.size());
        st.entries = v.entries;
        st.removed = v.removed;
        st.shorts = s->shorts;
        st.parts = static_cast<int64_t>(v.version == 2 ? v.parts.size() : v.runs.size());
        st.commit = v.commit.number;
        st.fileSize = v.version == 2 ? v.commit.usedSize : v.map->size();
        st.pendingTemplates = static_cast<int64_t>(g->adds.size());
        st.pendingRemovals = static_cast<int64_t>(g->removals.size());
        st.nextId = v.version == 2 ? static_cast<int64_t>(v.commit.nextId) : v.entries;
        *stat = st;
        return FPM_OK;
    });
}

int32_t FpmGalleryGetStorage(FpmGallery* g, FpmGalleryStorage* storage) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || storage == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery or no output");
        std::shared_lock lock(g->lock);
        const View& v = *g->view;
        FpmGalleryStorage out{};
        for (const Run& r : v.runs) {
            if (r.compact != nullptr) out.compactBytes += r.compactSize;
            for (int64_t j = 0; j < r.count; ++j) {
                if (v.Removed(r.first + j)) continue;
                ++out.templates;
                // An empty record stands for none (its template makes none).
                out.compactRecords += r.compact != nullptr && r.compactIndex[j + 1] > r.compactIndex[j];
                out.filterRecords += r.filters != nullptr;
            }
        }
        *storage = out;
        return FPM_OK;
    });
}

int32_t FpmGalleryGetEntry(FpmGallery* g, int64_t position, FpmEntry* entry) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || entry == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery or no output");
        std::shared_lock lock(g->lock);
        const View& v = *g->view;
        if (position < 0 || position >= v.entries)
            return Fail(FPM_E_ARGUMENT, "entry " + std::to_string(position) + " is outside the gallery (" +
                                            std::to_string(v.entries) + " entries)");
        EntryRef e;
        std::string why;
        if (!v.Entry(position, &e, &why)) return FailAt(FPM_E_DAMAGED, g->path, why);
        FpmEntry out{};
        out.id = static_cast<int64_t>(e.id);
        out.templateData = e.templateData;
        out.templateLength = static_cast<int32_t>(e.templateLength);
        out.removed = e.removed;
        out.shortTemplate = e.shortTemplate;
        out.subjectLength = static_cast<int32_t>(e.subject.size());
        std::memcpy(out.subject, e.subject.data(), e.subject.size());
        *entry = out;
        return FPM_OK;
    });
}

int32_t FpmGalleryGetSubject(FpmGallery* g, int64_t k, char subject[FPM_SUBJECT_MAX + 1], int32_t* templates) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr || subject == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery or no output");
        std::shared_lock lock(g->lock);
        std::string why;
        const SubjectIndex* s = g->view->Subjects(&why);
        if (s == nullptr) return FailAt(FPM_E_DAMAGED, g->path, why);
        if (k < 0 || k >= static_cast<int64_t>(s->ids.size()))
            return Fail(FPM_E_ARGUMENT, "subject number " + std::to_string(k) + " is outside the gallery");
        const std::string_view id = s->ids[static_cast<size_t>(k)];
        std::memcpy(subject, id.data(), id.size());
        subject[id.size()] = '\0';
        if (templates != nullptr) *templates = static_cast<int32_t>(s->Positions(k).size());
        return FPM_OK;
    });
}

int32_t FpmGalleryCheck(FpmGallery* g) {
    return Guarded([&]() -> int32_t {
        if (g == nullptr) return Fail(FPM_E_ARGUMENT, "no gallery");
        std::shared_lock lock(g->lock);
        std::string why;
        const int32_t rc = CheckView(*g->view, &why);
        return rc == FPM_OK ? rc : FailAt(rc, g->path, why);
    });
}

}  // extern "C"
