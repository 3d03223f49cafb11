#include "offline/list_ahead.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stddef.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "offline/workers.h"

namespace {

// A listing that takes longer than this, plus a little per entry, waited on the disk.
const uint64_t WAITED_NS = 20000, WAITED_NS_PER_ENTRY = 500;

// The paths waiting to be listed are bounded: past this, folders below are left to the walk.
const size_t MOST_WAITING_BYTES = size_t{4} << 20;

// What a waiting path holds in memory.
size_t held(const std::string &path)
{
    return sizeof path + path.size();
}

// A folder below the PATH's by its path from there, reached through folders
// only: no link followed, never above the PATH's folder, never onto another volume.
int open_below(int top, const std::string &relative)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOATIME;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    long fd = syscall(SYS_openat2, top, relative.c_str(), &how, sizeof how);
    if (fd < 0 && errno == EPERM) {
        how.flags &= ~static_cast<uint64_t>(O_NOATIME);
        fd = syscall(SYS_openat2, top, relative.c_str(), &how, sizeof how);
    }
    return static_cast<int>(fd);
}

}  // namespace

class ListAhead {
public:
    ListAhead(unsigned jobs, int top) : top_(top)
    {
        waiting_.push_back(".");
        start_workers(threads_, jobs, [this] { run(); });
    }

    ~ListAhead() { stop_workers(threads_, mutex_, work_, stop_); }

private:
    void run()
    {
        std::vector<char> buffer(size_t{64} << 10);
        std::vector<std::string> below;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
            if (stop_)
                return;
            const std::string folder = std::move(waiting_.back());
            waiting_.pop_back();
            waiting_bytes_ -= held(folder);
            lock.unlock();
            below.clear();
            list(folder, buffer, &below);
            lock.lock();
            // The walk goes through a folder's folders in name order: as many
            // of the first as there is room for, the first on top.
            std::sort(below.begin(), below.end());
            size_t room = 0;
            while (room < below.size() && waiting_bytes_ + held(below[room]) <= MOST_WAITING_BYTES)
                waiting_bytes_ += held(below[room++]);
            for (size_t i = room; i-- > 0;)
                waiting_.push_back(std::move(below[i]));
            work_.notify_all();
        }
    }

    // Lists the folder and looks up each of its files (a link itself, never
    // what it leads to); answers the paths of the folders in it.
    void list(const std::string &folder, std::vector<char> &buffer, std::vector<std::string> *below)
    {
        UniqueFd fd(open_below(top_, folder));
        if (!fd)
            return;
        ssize_t n;
        while (!stop_ && (n = getdents64(fd.get(), buffer.data(), buffer.size())) > 0) {
            for (ssize_t at = 0; at < n;) {
                struct dirent64 entry;
                memcpy(&entry, buffer.data() + at, offsetof(struct dirent64, d_name));
                const char *name = buffer.data() + at + offsetof(struct dirent64, d_name);
                at += entry.d_reclen;
                if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || entry.d_type == DT_LNK)
                    continue;
                struct stat st;
                bool is_folder = entry.d_type == DT_DIR;
                if (!is_folder && fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                    is_folder = S_ISDIR(st.st_mode);
                const size_t length = (folder == "." ? 0 : folder.size() + 1) + strlen(name);
                if (is_folder && length < PATH_MAX)
                    below->push_back(folder == "." ? std::string(name) : folder + "/" + name);
            }
        }
    }

    const int top_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;  // guards what follows
    std::condition_variable work_;
    std::vector<std::string> waiting_;  // folders to list, the next on top
    size_t waiting_bytes_ = held(".");
    std::atomic<bool> stop_{false};
};

void prepare_listing_ahead(ListAheadStart &start, unsigned jobs, int top)
{
    const long FUSE_MAGIC = 0x65735546;
    struct statfs volume;
    if (jobs <= 1 || fstatfs(top, &volume) != 0 || volume.f_type == FUSE_MAGIC)
        return;
    start.jobs = jobs;
    start.top.reset(fcntl(top, F_DUPFD_CLOEXEC, 0));
}

void listed_folder(ListAheadStart &start, size_t entries, uint64_t nanoseconds)
{
    if (start.jobs <= 1 || start.running || !start.top)
        return;
    const bool waited = nanoseconds > WAITED_NS + WAITED_NS_PER_ENTRY * entries;
    start.recent = static_cast<uint8_t>(start.recent << 1 | (waited ? 1 : 0));
    if (__builtin_popcount(start.recent) >= 4)
        start.running = std::make_shared<ListAhead>(start.jobs, start.top.get());
}
