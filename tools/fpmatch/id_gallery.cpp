#include "id_gallery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "report.h"

namespace fpmatch::tool {

std::string LibraryText(int32_t code, const std::string& path) {
    std::string text = FpmLastErrorDetail();
    if (text.empty()) text = FpmCodeText(code);
    if (!path.empty() && text.size() > path.size() + 2 && text.compare(0, path.size(), path) == 0 &&
        text.compare(path.size(), 2, ": ") == 0)
        text.erase(0, path.size() + 2);
    return text;
}

void ReportLibrary(const std::string& path, int32_t code, const std::string& suffix) {
    Report(path, LibraryText(code, path) + suffix);
}

int ExitForCode(int32_t code, bool writing) {
    if (code == FPM_E_NO_MEMORY) return kExitInternal;
    if (writing && (code == FPM_E_IO || code == FPM_E_EXISTS || code == FPM_E_NO_FILE)) return kExitOutput;
    return kExitInput;
}

GalleryHandle OpenGallery(const std::string& path, int32_t mode, int* exitCode) {
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryOpen(path.c_str(), mode, &g);
    if (rc != FPM_OK) {
        ReportLibrary(path, rc);
        *exitCode = ExitForCode(rc, false);
        return nullptr;
    }
    return GalleryHandle(g);
}

bool GalleryStat(FpmGallery* g, const std::string& path, FpmGalleryStat* stat, int* exitCode) {
    const int32_t rc = FpmGalleryGetStat(g, stat);
    if (rc == FPM_OK) return true;
    ReportLibrary(path, rc);
    *exitCode = ExitForCode(rc, false);
    return false;
}

std::unique_ptr<NewGallery> NewGallery::Create(const std::string& path, int* exitCode) {
    std::unique_ptr<NewGallery> n(new NewGallery());
    n->path_ = path;
    n->aside_ = path + ".new-" + std::to_string(::getpid());
    std::remove(n->aside_.c_str());  // left by an earlier run of this process id
    FpmGallery* g = nullptr;
    const int32_t rc = FpmGalleryCreate(n->aside_.c_str(), &g);
    if (rc != FPM_OK) {
        Report(path, LibraryText(rc, n->aside_));
        *exitCode = ExitForCode(rc, true);
        return nullptr;
    }
    n->gallery_.reset(g);
    return n;
}

NewGallery::~NewGallery() {
    gallery_.reset();
    if (!placed_) std::remove(aside_.c_str());
}

bool NewGallery::Commit() {
    const int32_t rc = FpmGalleryCommit(gallery_.get());
    if (rc != FPM_OK) {
        Report(path_, LibraryText(rc, aside_));
        return false;
    }
    gallery_.reset();
    return true;
}

bool NewGallery::Place() {
    if (std::rename(aside_.c_str(), path_.c_str()) != 0) {
        Report(path_, std::string("cannot put the new gallery in place: ") + std::strerror(errno));
        return false;
    }
    placed_ = true;
    // The rename itself made durable.
    std::string folder = std::filesystem::path(path_).parent_path().string();
    if (folder.empty()) folder = ".";
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

}  // namespace fpmatch::tool
