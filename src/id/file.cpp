#include "file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fpmatch::id {

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

std::string SystemReason(const std::string& what) { return what + ": " + std::strerror(errno); }

std::shared_ptr<Mapping> Mapping::Map(int fd, size_t size, std::string* why) {
    auto m = std::shared_ptr<Mapping>(new (std::nothrow) Mapping());
    if (!m) {
        *why = "out of memory";
        return nullptr;
    }
    if (size == 0) return m;
    void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        *why = SystemReason("cannot map the file");
        return nullptr;
    }
    m->data_ = static_cast<const uint8_t*>(p);
    m->size_ = size;
    return m;
}

Mapping::~Mapping() {
    if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
}

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset, std::string* why) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *why = n == 0 ? "cannot read: unexpected end of file" : SystemReason("cannot read");
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset, std::string* why) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            *why = SystemReason("cannot write");
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool SyncData(int fd, std::string* why) {
    if (::fdatasync(fd) == 0) return true;
    *why = SystemReason("cannot sync");
    return false;
}

bool SyncFolderOf(const std::string& path, std::string* why) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) {
        *why = SystemReason("cannot sync the folder " + folder);
        return false;
    }
    return true;
}

bool TryLock(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        if (errno != EINTR) return false;
    return true;
}

bool SameFile(int fd, const std::string& path) {
    struct stat a {}, b {};
    if (::fstat(fd, &a) != 0 || ::stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool FileSize(int fd, uint64_t* size, std::string* why) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *why = SystemReason("cannot read the file's size");
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

}  // namespace fpmatch::id
