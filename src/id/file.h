// The system calls behind a gallery file: descriptors, whole reads and
// writes, syncs, the writer's lock and read-only maps. Each failure is
// reported with the call and the system's reason.
#ifndef FPMATCH_ID_FILE_H
#define FPMATCH_ID_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace fpmatch::id {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A read-only shared map of the first `size` bytes of a file.
class Mapping {
public:
    static std::shared_ptr<Mapping> Map(int fd, size_t size, std::string* why);
    ~Mapping();
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// "what: reason" from errno.
std::string SystemReason(const std::string& what);

bool ReadAt(int fd, void* buffer, size_t size, uint64_t offset, std::string* why);
bool WriteAt(int fd, const void* buffer, size_t size, uint64_t offset, std::string* why);
bool SyncData(int fd, std::string* why);
// Syncs the folder holding `path`, so a rename or a new file is durable.
bool SyncFolderOf(const std::string& path, std::string* why);
// Takes the exclusive writer's lock without waiting; false with errno
// EWOULDBLOCK when another descriptor holds it.
bool TryLock(int fd);
// Whether `path` names the file open as `fd` now (not replaced by a rename).
bool SameFile(int fd, const std::string& path);
bool FileSize(int fd, uint64_t* size, std::string* why);

}  // namespace fpmatch::id

#endif
