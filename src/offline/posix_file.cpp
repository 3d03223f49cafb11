#include "offline/posix_file.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    reset(other.release());
    return *this;
}

int UniqueFd::release()
{
    return std::exchange(fd_, -1);
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

Mapping::Mapping(Mapping &&other) noexcept
    : base_(std::exchange(other.base_, nullptr)), base_length_(std::exchange(other.base_length_, 0)),
      data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0))
{
}

Mapping &Mapping::operator=(Mapping &&other) noexcept
{
    if (this != &other) {
        unmap();
        base_ = std::exchange(other.base_, nullptr);
        base_length_ = std::exchange(other.base_length_, 0);
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
    }
    return *this;
}

bool Mapping::map(int fd, uint64_t offset, size_t length, bool writable)
{
    unmap();
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t start = offset - offset % page;
    const size_t lead = static_cast<size_t>(offset - start);
    const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void *base = mmap(nullptr, lead + length, protection, MAP_SHARED, fd, static_cast<off_t>(start));
    if (base == MAP_FAILED)
        return false;
    base_ = base;
    base_length_ = lead + length;
    data_ = static_cast<uint8_t *>(base) + lead;
    length_ = length;
    return true;
}

bool Mapping::unmap()
{
    if (base_ == nullptr)
        return true;
    const int result = munmap(base_, base_length_);
    base_ = nullptr;
    data_ = nullptr;
    base_length_ = length_ = 0;
    return result == 0;
}

namespace {

// Per thread: a SIGBUS is delivered to the thread that touched the cut mapping.
thread_local sigjmp_buf *volatile bus_error_exit = nullptr;

void on_bus_error(int signal_number)
{
    if (bus_error_exit != nullptr)
        siglongjmp(*bus_error_exit, 1);
    // Not ours: end the program as the signal would have.
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

}  // namespace

bool run_mapped_work(void (*work)(void *), void *arg)
{
    static const bool installed = [] {
        struct sigaction action = {};
        action.sa_handler = on_bus_error;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    (void)installed;
    sigjmp_buf exit_point;
    if (sigsetjmp(exit_point, 1) != 0) {
        bus_error_exit = nullptr;
        return false;
    }
    bus_error_exit = &exit_point;
    work(arg);
    bus_error_exit = nullptr;
    return true;
}

bool read_pieces(int fd, const std::function<bool(const char *bytes, size_t count)> &take)
{
    std::vector<char> buffer(256 << 10);
    for (uint64_t offset = 0;;) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        if (!take(buffer.data(), static_cast<size_t>(n)))
            return false;
        offset += static_cast<uint64_t>(n);
    }
}

bool pread_exactly(int fd, void *buffer, size_t count, uint64_t offset)
{
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    for (size_t done = 0; done < count;) {
        const ssize_t n = pread(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

uint64_t monotonic_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

int pread_cached(int fd, void *buffer, size_t count, uint64_t offset)
{
    struct iovec part = {buffer, count};
    ssize_t n;
    do
        n = preadv2(fd, &part, 1, static_cast<off_t>(offset), RWF_NOWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS))
        return -1;
    return n >= 0 && static_cast<size_t>(n) == count ? 1 : 0;
}

bool pwrite_exactly(int fd, const void *buffer, size_t count, uint64_t offset)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    for (size_t done = 0; done < count;) {
        const ssize_t n = pwrite(fd, bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<std::string> path_names(const std::string &path)
{
    std::vector<std::string> names;
    for (size_t begin = 0; begin < path.size();) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos)
            end = path.size();
        if (end > begin && path.compare(begin, end - begin, ".") != 0)
            names.push_back(path.substr(begin, end - begin));
        begin = end + 1;
    }
    return names;
}

namespace {

bool all_zero(const uint8_t *bytes, size_t count)
{
    return count == 0 || (bytes[0] == 0 && memcmp(bytes, bytes + 1, count - 1) == 0);
}

// Without fallocate (FUSE volumes among others), for a file with fewer blocks
// than bytes (holes, or compression): every run of blocks below size that
// reads as zeros is written back as it is, which makes the file system
// allocate them. The content stays the same. (Such file systems rarely say
// where their holes are: SEEK_HOLE finds none.)
bool fill_holes(int fd, uint64_t size)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    const uint64_t end = std::min<uint64_t>(size, static_cast<uint64_t>(st.st_size));
    if (static_cast<uint64_t>(st.st_blocks) * 512 >= end)
        return true;
    const size_t block = st.st_blksize > 0 && st.st_blksize <= 1 << 20 ? static_cast<size_t>(st.st_blksize) : 4096;
    std::vector<uint8_t> chunk((1 << 20) / block * block);
    for (uint64_t at = 0; at < end;) {
        const ssize_t n = pread(fd, chunk.data(), std::min<uint64_t>(chunk.size(), end - at), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;  // cut meanwhile: nothing past the end is written
        const size_t count = static_cast<size_t>(n);
        for (size_t begin = 0; begin < count;) {
            size_t stop = begin;
            while (stop < count && all_zero(&chunk[stop], std::min(block, count - stop)))
                stop += std::min(block, count - stop);
            if (stop > begin && !pwrite_exactly(fd, &chunk[begin], stop - begin, at + begin))
                return false;
            begin = stop > begin ? stop : begin + std::min(block, count - begin);
        }
        at += count;
    }
    return true;
}

}  // namespace

bool allocate_blocks(int fd, uint64_t size)
{
    // FALLOC_FL_KEEP_SIZE: a file cut meanwhile by someone else is not
    // lengthened again with zeros.
    if (size == 0 || fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return true;
    return (errno == EOPNOTSUPP || errno == ENOSYS) && fill_holes(fd, size);
}

std::string allocation_failure(int error_number)
{
    return error_number == ENOSPC ? "no space left on device" : failure("cannot allocate the file's blocks", error_number);
}

std::string failure(const char *what, int error_number)
{
    return std::string(what) + ": " + strerror(error_number);
}

int open_untouched(int dir_fd, const char *name, int flags)
{
    const int fd = openat(dir_fd, name, flags | O_RDONLY | O_NOATIME);
    return fd < 0 && errno == EPERM ? openat(dir_fd, name, flags | O_RDONLY) : fd;
}

int reopen_path(int path_fd, int flags)
{
    // The process's descriptors as a folder, opened once: each reopening then
    // looks up one name in it instead of three.
    static const std::pair<int, int> descriptors = [] {
        const int fd = open("/proc/self/fd", O_PATH | O_DIRECTORY | O_CLOEXEC);
        return std::make_pair(fd, fd < 0 ? errno : 0);
    }();
    if (descriptors.first < 0) {
        errno = descriptors.second;
        return -1;
    }
    char name[16] = {};
    std::to_chars(name, name + sizeof name - 1, path_fd);
    // The magic link is followed by design: O_NOFOLLOW would refuse it.
    flags &= ~O_NOFOLLOW;
    return (flags & O_ACCMODE) == O_RDONLY ? open_untouched(descriptors.first, name, flags)
                                           : openat(descriptors.first, name, flags);
}
