#include "offline/read_ahead.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "offline/archive.h"
#include "offline/interrupt.h"
#include "offline/posix_file.h"
#include "offline/report.h"
#include "offline/scan.h"
#include "offline/workers.h"

namespace {

// The walk's place, which the manifest records changes below: the PATH's
// absolute folder and the root the walk last entered.
struct WalkPlace {
    std::string absolute;
    size_t argument_length = 0, root_length = 0;
    dev_t root_dev = 0;
    ino_t root_ino = 0;
};

WalkPlace where_walk_is(const Scan &scan)
{
    return WalkPlace{scan.absolute, scan.argument_length, scan.root_length, scan.root_dev, scan.root_ino};
}

void go_to(Scan &scan, const WalkPlace &place)
{
    scan.absolute = place.absolute;
    scan.argument_length = place.argument_length;
    scan.root_length = place.root_length;
    scan.root_dev = place.root_dev;
    scan.root_ino = place.root_ino;
}

// One thing handed over by the walk: a file to read, or a step to do in its turn.
struct Item {
    std::function<void(Scan &)> step;
    bool always = false;
    // A file: its folder (a descriptor of its own, as the walk goes on), name and path.
    UniqueFd dir;
    std::string name, path;
    size_t folder_length = std::string::npos;  // of the folder the progress line shows after it
    // Where the walk was when it was handed over, for the manifest.
    WalkPlace place;
    struct stat st = {};  // as the walk listed it
    FileRead read;        // filled by the reader
    enum { Waiting, Reading, Read } state = Waiting;
};

bool same_state(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_nlink == b.st_nlink &&
           a.st_size == b.st_size && a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// What the readers do, and the walk itself for a file no reader took yet:
// the file was opened by the walk, and is read now. A reader also asks for
// what the look for an archive will read past the head, which the walk then
// finds in memory (on a cold disk, about 6% of the run on a tree of programs).
void read_item(Item &item, bool reader = false)
{
    FileRead &read = item.read;
    rate_read(&read);
    if (reader && read.rated && read.verdict == Clean && read.worth.archive)
        read_ahead_of_archive_look(read.fd.get(), static_cast<uint64_t>(read.st.st_size), item.name.c_str(), read.head);
}

}  // namespace

class ReadAhead {
public:
    ReadAhead(unsigned jobs, bool archives) : archives_(archives)
    {
        // Each file in flight holds up to two descriptors (its folder and
        // itself): together no more than a sixteenth of what this process
        // may have, so that the walk's folders and the hives keep theirs.
        struct rlimit limit;
        size_t most = 64;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            most = std::max<size_t>(1, static_cast<size_t>(limit.rlim_cur / 32));
        in_flight_ = std::min<size_t>(most, size_t{4} * jobs);
        start_workers(threads_, jobs, [this] { run(); });
    }

    ~ReadAhead() { stop_workers(threads_, mutex_, work_, stop_); }

    void add(Scan &scan, std::unique_ptr<Item> item)
    {
        if (item->step && window_.empty()) {
            if (!interrupted() || item->always)
                item->step(scan);
            return;
        }
        Item *file = item->step || item->state == Item::Read ? nullptr : item.get();
        window_.push_back(std::move(item));
        if (file != nullptr) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                queue_.push_back(file);
            }
            work_.notify_one();
        }
        while (window_.size() > in_flight_)
            finish_first(scan);
    }

    // Examines what was read by now in the walk's order, up to the first
    // thing not read yet: nothing handed over is waiting then, unless a
    // reader still has it. Answers whether nothing is.
    bool finish_ready(Scan &scan)
    {
        while (!window_.empty()) {
            const Item &first = *window_.front();
            if (!first.step) {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (first.state != Item::Read)
                    return false;
            }
            finish_first(scan);
        }
        return true;
    }

    void finish_all(Scan &scan)
    {
        while (!window_.empty())
            finish_first(scan);
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            Item *item = queue_.front();
            queue_.pop_front();
            item->state = Item::Reading;
            lock.unlock();
            read_item(*item, true);
            lock.lock();
            item->state = Item::Read;
            done_.notify_all();
        }
    }

    // The oldest thing handed over, read by now, examined as one thread would.
    void finish_first(Scan &scan)
    {
        Item &item = *window_.front();
        if (!item.step) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (item.state == Item::Waiting) {
                // No reader took it yet: the walk reads it itself.
                queue_.erase(std::find(queue_.begin(), queue_.end(), &item));
                item.state = Item::Reading;
                lock.unlock();
                read_item(item);
            } else {
                done_.wait(lock, [&item] { return item.state == Item::Read; });
            }
        }
        // Done where the walk was then; the walk goes on from where it is now.
        const WalkPlace walk = where_walk_is(scan);
        go_to(scan, item.place);
        if (item.step) {
            if (!interrupted() || item.always)
                item.step(scan);
        } else if (!interrupted()) {
            examine(scan, item);
            if (scan.out.progress && item.folder_length != std::string::npos)
                show_progress(scan.out, item.path.substr(0, item.folder_length));
        }
        go_to(scan, walk);
        window_.pop_front();
    }

    void examine(Scan &scan, Item &item)
    {
        // The file as it is now: an earlier change (to another link of it,
        // say) may have changed it since it was read, which is then read again.
        // A name that no longer leads to a regular file is opened as listed,
        // which says why it is not examined.
        struct stat now;
        const bool found = fstatat(item.dir.get(), item.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0;
        const Listed file{item.dir.get(), item.name.c_str(), item.path, found && S_ISREG(now.st_mode) ? now : item.st};
        if (!found || !same_state(now, item.read.fd ? item.read.st : item.st))
            read_listed(file, archives_, &item.read);
        process_file(scan, file, &item.read);
    }

    const bool archives_;
    size_t in_flight_;
    std::vector<std::thread> threads_;
    std::deque<std::unique_ptr<Item>> window_;  // the walk's thread only
    std::mutex mutex_;                          // guards what follows
    std::condition_variable work_, done_;
    std::deque<Item *> queue_;                  // handed over, no reader yet
    std::atomic<bool> stop_{false};
};

unsigned default_jobs()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    const int processors = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return static_cast<unsigned>(std::max(4, processors));
}

bool examine_later(Scan &scan, int dir_fd, const char *name, const std::string &path, const struct stat &st,
                   size_t folder_length)
{
    ++scan.met;
    // Most files are not opened: counted at once, which shows nowhere but in the progress line.
    const Listed listed{dir_fd, name, path, st};
    const Worth worth = worth_of(listed, scan.archives);
    if (scan.jobs <= 1 || !worth.read) {
        process_file(scan, listed, nullptr, &worth);
        return false;
    }
    // A file whose first page is in memory is read by the walk itself:
    // handing it to a reader would cost more than reading it. Only a file
    // that would wait on the disk goes to the readers.
    const bool idle = !scan.reader || scan.reader->finish_ready(scan);
    static FileRead here;
    if (idle && read_listed(listed, scan.archives, &here, &scan.slow_reads)) {
        process_file(scan, listed, &here);
        return false;
    }
    auto item = std::make_unique<Item>();
    if (idle) {
        item->read.fd = std::move(here.fd);
        item->read.st = here.st;
        item->read.worth = here.worth;
    } else if (read_listed(listed, scan.archives, &item->read, &scan.slow_reads)) {
        item->state = Item::Read;
    }
    if (!scan.reader)
        scan.reader = std::make_shared<ReadAhead>(scan.jobs, scan.archives);
    item->dir.reset(fcntl(dir_fd, F_DUPFD_CLOEXEC, 0));
    if (!item->dir) {
        // No descriptor to spare: the files before it are done first, then it, as one thread would.
        finish_reading(scan);
        struct stat now;
        if (fstatat(dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
            report(scan.out, path, Kind::NotExamined, Action::Skipped, failure("cannot examine"));
        else if (S_ISREG(now.st_mode))
            process_file(scan, Listed{dir_fd, name, path, now});
        if (folder_length != std::string::npos)
            show_progress(scan.out, path.substr(0, folder_length));
        return true;
    }
    item->name = name;
    item->path = path;
    item->st = st;
    item->folder_length = folder_length;
    item->place = where_walk_is(scan);
    scan.reader->add(scan, std::move(item));
    return true;
}

void in_order(Scan &scan, const std::function<void(Scan &)> &step, bool always)
{
    if (!scan.reader) {
        if (!interrupted() || always)
            step(scan);
        return;
    }
    auto item = std::make_unique<Item>();
    item->step = step;
    item->always = always;
    item->place = where_walk_is(scan);
    scan.reader->add(scan, std::move(item));
}

void finish_reading(Scan &scan)
{
    if (scan.reader)
        scan.reader->finish_all(scan);
}
