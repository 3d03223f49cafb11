#include "offline/posix_file.h"

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

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

sigjmp_buf *volatile bus_error_exit = nullptr;

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

std::string failure(const char *what, int error_number)
{
    return std::string(what) + ": " + strerror(error_number);
}

int open_untouched(int dir_fd, const char *name, int flags)
{
    const int fd = openat(dir_fd, name, flags | O_RDONLY | O_NOATIME);
    return fd < 0 && errno == EPERM ? openat(dir_fd, name, flags | O_RDONLY) : fd;
}
