// Owners for a descriptor and a memory mapping, the guard that turns a mapped
// file shrinking under us into an answer instead of SIGBUS, and small helpers
// of POSIX file access.
#ifndef VESKACURE_OFFLINE_POSIX_FILE_H
#define VESKACURE_OFFLINE_POSIX_FILE_H

#include <errno.h>
#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_;
};

// Bytes [offset, offset + length) of a file, mapped shared (read-only or
// read-write); the offset need not be page-aligned.
class Mapping {
public:
    Mapping() = default;
    ~Mapping() { unmap(); }
    Mapping(Mapping &&other) noexcept;
    Mapping &operator=(Mapping &&other) noexcept;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    // False with errno set when the range cannot be mapped.
    bool map(int fd, uint64_t offset, size_t length, bool writable);
    uint8_t *data() const { return data_; }
    size_t size() const { return length_; }
    // False with errno set when the pages cannot be unmapped.
    bool unmap();

private:
    void *base_ = nullptr;
    size_t base_length_ = 0;
    uint8_t *data_ = nullptr;
    size_t length_ = 0;
};

// Runs work(arg) and answers false when it touched a mapped page that the file
// no longer has (it was cut meanwhile by someone else). work must hold nothing
// that needs a destructor: it is left by a jump.
bool run_mapped_work(void (*work)(void *), void *arg);

// Hands the bytes of fd from offset 0 to its end to take, a piece at a time.
// False with errno set when a read fails, or when take answers false.
bool read_pieces(int fd, const std::function<bool(const char *bytes, size_t count)> &take);

// Reads exactly count bytes at offset. False when the file ends first (errno
// 0) or a read fails (errno set).
bool pread_exactly(int fd, void *buffer, size_t count, uint64_t offset);

// Nanoseconds on the monotonic clock.
uint64_t monotonic_ns();

// Reads exactly count bytes at offset when all of them are in the page cache
// already: 1. Without waiting on the disk: 0 when any is not (or the file
// ends first), -1 when the file system cannot tell (FUSE, say).
int pread_cached(int fd, void *buffer, size_t count, uint64_t offset);

// Writes exactly count bytes at offset. False with errno set otherwise.
bool pwrite_exactly(int fd, const void *buffer, size_t count, uint64_t offset);

// The names of a path, in order: empty ones and "." left out ("a//./b" gives
// a, b); ".." is kept, for the caller to refuse or follow.
std::vector<std::string> path_names(const std::string &path);

// Makes sure that every block of bytes [0, size) of fd is allocated, so that
// writing them (through a mapping too) cannot run out of space half-way; the
// blocks past the file's end are had without lengthening it. The content is
// unchanged; false with errno set otherwise (ENOSPC, EDQUOT...).
bool allocate_blocks(int fd, uint64_t size);
// Why allocate_blocks failed: "no space left on device", or the reason.
std::string allocation_failure(int error_number = errno);

// "what: reason" for the error number.
std::string failure(const char *what, int error_number = errno);

// openat read-only without changing the access time where the kernel allows
// it (the owner, or root); anyone else's reads follow the mount's atime rule.
int open_untouched(int dir_fd, const char *name, int flags);

// Opens again, with flags (O_RDONLY through open_untouched, or O_RDWR), the
// file that the O_PATH descriptor path_fd stands for: that very inode, not
// whatever its name leads to by now. -1 with errno set otherwise; ENOENT
// where /proc is not mounted.
int reopen_path(int path_fd, int flags);

#endif
