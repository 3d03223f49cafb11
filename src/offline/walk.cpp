// The walk over each PATH: folders listed in name order without recursion,
// each regular file handed to process_file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "offline/image_scan.h"
#include "offline/interrupt.h"
#include "offline/list_ahead.h"
#include "offline/posix_file.h"
#include "offline/read_ahead.h"
#include "offline/report.h"
#include "offline/scan.h"
#include "offline/vm_image.h"

namespace {

// The walk's own reports, in their turn among the files handed over before them.
void skipped(Scan &scan, const std::string &path, const std::string &why)
{
    in_order(scan, [path, why](Scan &later) { report(later.out, path, Kind::NotExamined, Action::Skipped, why); });
}

// The progress line, showing the folder being walked once what came before is done.
void progress(Scan &scan, const std::string &folder)
{
    if (!scan.out.progress)
        return;
    if (!scan.reader)
        show_progress(scan.out, folder);
    else
        in_order(scan, [folder](Scan &later) { show_progress(later.out, folder); });
}

// A name of a folder's listing, kept with the others in one buffer: sorting
// moves only these.
struct Name {
    uint64_t key;        // its first 8 bytes, the first the most significant, zero-padded
    size_t at;           // of the name, NUL-terminated, in the listing's bytes
    uint16_t length;     // of the name
    unsigned char type;  // d_type: DT_UNKNOWN where the file system does not say
};

// The first 8 bytes of a name as one number that orders as strcmp does
// (bytes unsigned, a shorter name first): most names differ there.
uint64_t sort_key(const char *name, size_t length)
{
    uint64_t key = 0;
    for (size_t i = 0; i < 8; ++i)
        key = key << 8 | (i < length ? static_cast<unsigned char>(name[i]) : 0u);
    return key;
}

bool name_before(const char *bytes, const Name &a, const Name &b)
{
    if (a.key != b.key)
        return a.key < b.key;
    // Equal keys: the same first 8 bytes (a name shorter than 8 is then the same name).
    return a.length >= 8 && b.length >= 8 && strcmp(bytes + a.at + 8, bytes + b.at + 8) < 0;
}

// Lists the folder through its own descriptor, just opened and read by no one
// else: no second descriptor, no directory stream.
bool list_folder(int dir_fd, std::vector<char> *bytes, std::vector<Name> *names, std::string *error)
{
    static std::vector<char> buffer(64 << 10);
    for (;;) {
        const ssize_t n = getdents64(dir_fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = failure("cannot list");
            return false;
        }
        if (n == 0)
            return true;
        // Each record holds its name, NUL included: the names take no more bytes
        // than the records. Room made once a read, growing as a vector does.
        const auto room = [](auto *v, size_t more) {
            if (v->capacity() - v->size() < more)
                v->reserve(std::max(v->size() + more, 2 * v->capacity()));
        };
        room(bytes, static_cast<size_t>(n));
        room(names, static_cast<size_t>(n) / (offsetof(struct dirent64, d_name) + 2));
        for (ssize_t at = 0; at < n;) {
            struct dirent64 entry;
            memcpy(&entry, buffer.data() + at, offsetof(struct dirent64, d_name));
            const char *name = buffer.data() + at + offsetof(struct dirent64, d_name);
            at += entry.d_reclen;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            // Within its record, whose length (16 bits) bounds the name's.
            const size_t length = strnlen(name, entry.d_reclen - offsetof(struct dirent64, d_name));
            names->push_back(Name{sort_key(name, length), bytes->size(), static_cast<uint16_t>(length), entry.d_type});
            const size_t end = bytes->size();
            bytes->resize(end + length + 1);
            memcpy(bytes->data() + end, name, length);
            (*bytes)[end + length] = '\0';
        }
    }
}

// One folder of the walk's current path. Only the deepest OPEN_LEVELS hold a
// descriptor; one above is opened again through ".." of the folder below it,
// and must still be the folder that was listed.
struct Level {
    UniqueFd fd;
    dev_t dev;
    ino_t ino;
    std::vector<char> bytes;  // the names listed
    std::vector<Name> names;  // in name order
    size_t next = 0;          // the first name not yet visited
    size_t length;            // of the folder's path
    size_t root_length;       // the root its files are recorded below
    dev_t root_dev;
    ino_t root_ino;
};

const size_t OPEN_LEVELS = 64;

void set_root(Scan &scan, const Level &level)
{
    scan.root_length = level.root_length;
    scan.root_dev = level.root_dev;
    scan.root_ino = level.root_ino;
}

// Lists the folder at path, open as fd, and makes it the deepest level. A
// folder on another volume than the one above it is a new root.
void enter(Scan &scan, std::vector<Level> &levels, UniqueFd fd, const std::string &path, ListAheadStart &ahead)
{
    struct stat st;
    std::string error;
    Level level;
    if (fstat(fd.get(), &st) != 0) {
        skipped(scan, path, failure("cannot examine"));
        return;
    }
    // A folder reached again (listed with its files, or below two PATHs) is walked once.
    if (scan.walked.count({st.st_dev, st.st_ino}) != 0)
        return;
    const uint64_t started = monotonic_ns();
    if (!list_folder(fd.get(), &level.bytes, &level.names, &error)) {
        skipped(scan, path, error);
        return;
    }
    listed_folder(ahead, level.names.size(), monotonic_ns() - started);
    scan.walked.insert({st.st_dev, st.st_ino});
    const char *bytes = level.bytes.data();
    std::sort(level.names.begin(), level.names.end(),
              [bytes](const Name &a, const Name &b) { return name_before(bytes, a, b); });
    level.fd = std::move(fd);
    level.dev = st.st_dev;
    level.ino = st.st_ino;
    level.length = path.size();
    const bool root = levels.empty() || levels.back().dev != st.st_dev;
    level.root_length = root ? path.size() : levels.back().root_length;
    level.root_dev = root ? st.st_dev : levels.back().root_dev;
    level.root_ino = root ? st.st_ino : levels.back().root_ino;
    set_root(scan, level);
    levels.push_back(std::move(level));
    if (levels.size() > OPEN_LEVELS)
        levels[levels.size() - 1 - OPEN_LEVELS].fd.reset();
}

// Done with the deepest level: back to the one above, opened again when it
// was closed. Levels that cannot be found again lose their remaining names.
void leave(Scan &scan, std::vector<Level> &levels, std::string &path)
{
    UniqueFd below = std::move(levels.back().fd);
    levels.pop_back();
    while (!levels.empty() && !levels.back().fd) {
        Level &up = levels.back();
        path.resize(up.length);
        UniqueFd again(below ? open_untouched(below.get(), "..", O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1);
        struct stat st;
        if (again && fstat(again.get(), &st) == 0 && st.st_dev == up.dev && st.st_ino == up.ino) {
            up.fd = std::move(again);
            break;
        }
        if (up.next < up.names.size())
            skipped(scan, path, "moved while being examined");
        below.reset();
        levels.pop_back();
    }
    if (!levels.empty()) {
        path.resize(levels.back().length);
        set_root(scan, levels.back());
        progress(scan, path);
    }
}

// The folder at path and everything below it, in name order, without
// recursion: memory and descriptors stay bounded however deep the tree goes.
void walk(Scan &scan, UniqueFd top, std::string &path)
{
    std::vector<Level> levels;
    ListAheadStart ahead;
    prepare_listing_ahead(ahead, scan.jobs, top.get());
    enter(scan, levels, std::move(top), path, ahead);
    while (!levels.empty() && !interrupted()) {
        Level &level = levels.back();
        if (level.next == level.names.size()) {
            leave(scan, levels, path);
            continue;
        }
        const Name entry = level.names[level.next++];
        // Kept in a vector's own memory: still there when a deeper level is entered below.
        const char *name = level.bytes.data() + entry.at;
        const int dir_fd = level.fd.get();
        path.resize(level.length);
        if (path.empty() || path.back() != '/')
            path += '/';
        path.append(name, entry.length);
        if (entry.type == DT_LNK) {
            path.resize(level.length);
            continue;
        }
        struct stat st = {};
        // A file read by a reader shows the progress line once examined.
        bool later = false;
        if (entry.type != DT_DIR && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            skipped(scan, path, failure("cannot examine"));
        } else if (entry.type == DT_DIR || S_ISDIR(st.st_mode)) {
            UniqueFd folder(open_untouched(dir_fd, name, O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            // A folder replaced by a link meanwhile fails here (ELOOP or ENOTDIR) and is not followed.
            if (folder) {
                enter(scan, levels, std::move(folder), path, ahead);
                continue;
            }
            skipped(scan, path, failure("cannot open folder"));
        } else if (S_ISREG(st.st_mode)) {
            later = examine_later(scan, dir_fd, name, path, st, level.length);
        }
        path.resize(level.length);
        if (!later && scan.out.progress)
            progress(scan, path);
    }
}

// The absolute path of a PATH whose folders are no links: "." dropped, ".."
// taking back the name before it.
std::string absolute_of(const std::string &given)
{
    std::string whole = given;
    if (given.empty() || given[0] != '/') {
        std::unique_ptr<char, void (*)(void *)> cwd(getcwd(nullptr, 0), free);
        whole = std::string(cwd ? cwd.get() : "") + "/" + given;
    }
    std::string absolute;
    for (size_t begin = 0; begin < whole.size();) {
        size_t end = whole.find('/', begin);
        if (end == std::string::npos)
            end = whole.size();
        const std::string name = whole.substr(begin, end - begin);
        if (name == "..")
            absolute.resize(absolute.rfind('/') == std::string::npos ? 0 : absolute.rfind('/'));
        else if (!name.empty() && name != ".")
            absolute += "/" + name;
        begin = end + 1;
    }
    return absolute.empty() ? "/" : absolute;
}

// The folder that holds the last of the names of a PATH (for "/" or ".", that
// folder itself), reached one folder at a time without following a link.
// Kept for the next PATH: the paths of a list mostly share their folder.
int reach_folder(Scan &scan, bool from_top, const std::vector<std::string> &names, std::string *error)
{
    std::string key = from_top ? "/" : "";
    for (size_t i = 0; i + 1 < names.size(); ++i)
        key += (i > 0 ? "/" : "") + names[i];
    if (scan.folder && !names.empty() && key == scan.folder_key)
        return scan.folder.get();
    scan.folder.reset(open_untouched(AT_FDCWD, from_top ? "/" : ".", O_DIRECTORY | O_CLOEXEC));
    scan.folder_key = names.empty() ? std::string(1, '\0') : key;  // "/" and "." themselves are not kept
    std::string on_the_way = from_top ? "/" : "";
    for (size_t i = 0; scan.folder && i + 1 < names.size(); ++i) {
        on_the_way += (i > 0 ? "/" : "") + names[i];
        UniqueFd next(open_untouched(scan.folder.get(), names[i].c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        const int reason = errno;
        struct stat st;
        if (!next && fstatat(scan.folder.get(), names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            *error = "symbolic link on the way, not followed: " + on_the_way;
        } else if (!next) {
            *error = failure("cannot examine", reason);
        }
        scan.folder = std::move(next);
    }
    if (!scan.folder && error->empty())
        *error = failure("cannot examine");
    return scan.folder.get();
}


// A PATH that is a disk image is opened and its volumes walked, each as a PATH.
bool examined_as_image(Scan &scan, const std::string &argument, int folder, const char *name, const struct stat &st)
{
    if (static_cast<uint64_t>(st.st_size) < VM_IMAGE_MIN_SIZE)
        return false;
    UniqueFd fd(open_untouched(folder, name, O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat now;
    return fd && fstat(fd.get(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino && scan_image(scan, argument, fd.get(), now);
}

// The PATH is reached one folder at a time without following a link, as the
// walk goes down: a folder on the way replaced by a link (between the listing
// of --files-from and the run, say) does not lead out of the tree.
void examine_path(Scan &scan, const std::string &argument)
{
    std::string path = argument;
    if (argument.empty()) {
        skipped(scan, path, failure("cannot examine", ENOENT));
        return;
    }
    const std::vector<std::string> names = path_names(argument);
    std::string error;
    const int folder = reach_folder(scan, argument[0] == '/', names, &error);
    if (folder < 0) {
        skipped(scan, path, error);
        return;
    }
    struct stat st, here;
    const char *last = names.empty() ? "." : names.back().c_str();
    if (fstatat(folder, last, &st, AT_SYMLINK_NOFOLLOW) != 0 || fstat(folder, &here) != 0) {
        skipped(scan, path, failure("cannot examine"));
    } else if (S_ISLNK(st.st_mode)) {
        skipped(scan, path, "symbolic link, not followed");
    } else if (S_ISDIR(st.st_mode)) {
        UniqueFd top(open_untouched(folder, last, O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        scan.absolute = absolute_of(argument);
        scan.argument_length = argument.size();
        const size_t folders = scan.walked.size();
        const uint64_t files = scan.met;
        if (!top)
            skipped(scan, path, failure("cannot open folder"));
        else
            walk(scan, std::move(top), path);
        // An empty mount point looks like a clean volume (an image's volume, mounted here, is empty).
        if (scan.walked.size() > folders && scan.met == files)
            in_order(scan, [argument](Scan &later) {
                if (!interrupted() && later.out.images.empty())
                    warn(later.out, "no files below " + argument, "is the volume mounted?");
            });
    } else if (S_ISREG(st.st_mode) && argument.back() == '/') {
        skipped(scan, path, failure("cannot examine", ENOTDIR));
    } else if (S_ISREG(st.st_mode) && scan.walked.count({here.st_dev, here.st_ino}) != 0) {
        // Its folder was walked: the file was examined there.
    } else if (S_ISREG(st.st_mode) && examined_as_image(scan, argument, folder, last, st)) {
        // A disk image: its volumes were walked.
    } else if (S_ISREG(st.st_mode)) {
        // A file's own folder is its root.
        const size_t name = argument.rfind('/') + 1;
        scan.absolute = absolute_of(argument.substr(0, name));
        scan.argument_length = scan.root_length = name;
        scan.root_dev = here.st_dev;
        scan.root_ino = here.st_ino;
        examine_later(scan, folder, last, path, st, std::string::npos);
    } else {
        skipped(scan, path, "not a regular file or folder");
    }
    in_order(scan, finish_hives, true);
}

}  // namespace

void scan_path(Scan &scan, const std::string &argument)
{
    examine_path(scan, argument);
    finish_reading(scan);
}

void scan_list(Scan &scan, const std::string &list)
{
    const bool standard_input = list == "-";
    FILE *file = standard_input ? stdin : fopen(list.c_str(), "rbe");
    if (file == nullptr) {
        skipped(scan, list, failure("cannot open the list"));
        finish_reading(scan);
        return;
    }
    char *buffer = nullptr;
    size_t capacity = 0;
    ssize_t n;
    for (bool first = true; !interrupted() && (n = getdelim(&buffer, &capacity, '\0', file)) >= 0; first = false) {
        // An empty name (two NULs in a row) names nothing; the last name may lack its NUL.
        const bool ended = n > 0 && buffer[n - 1] == '\0';
        const size_t length = static_cast<size_t>(n) - (ended ? 1 : 0);
        // Paths one per line would be taken for one long path.
        if (first && !ended && memchr(buffer, '\n', length) != nullptr) {
            skipped(scan, list, "no NUL in " + list + ": use find -print0");
            break;
        }
        if (length > 0)
            examine_path(scan, std::string(buffer, length));
    }
    const int read_error = ferror(file) ? errno : 0;
    free(buffer);
    if (!standard_input)
        fclose(file);
    if (read_error != 0)
        skipped(scan, list, failure("cannot read the list", read_error));
    finish_reading(scan);
}
