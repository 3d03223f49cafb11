#include "offline/scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "detect/image_rules.h"
#include "offline/examine.h"
#include "offline/ini_edit.h"
#include "offline/posix_file.h"
#include "remedy/host_locate.h"

namespace {

// Real SYSTEM.INI files are a few kilobytes; the whole file is held in memory.
const size_t MAX_INI_SIZE = 16 << 20;

// One regular file as the walk listed it.
struct Listed {
    int dir_fd;               // its folder, or AT_FDCWD for a PATH that names a file
    const char *name;         // within that folder
    const std::string &path;  // as reached from PATH, for the output
    struct stat st;           // from the listing, the link itself not followed
};

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The listed file itself, never through a symbolic link and only while its
// name still leads to the same regular file.
UniqueFd open_listed(const Listed &file, int access, struct stat *now, std::string *error)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd owned(access == O_RDONLY ? open_untouched(file.dir_fd, file.name, flags)
                                      : openat(file.dir_fd, file.name, flags | access));
    if (!owned)
        *error = failure(access == O_RDONLY ? "cannot open" : "cannot open for writing");
    else if (fstat(owned.get(), now) != 0)
        *error = failure("cannot examine");
    else if (!S_ISREG(now->st_mode) || !same_file(*now, file.st))
        *error = "replaced while being examined";
    else
        return owned;
    owned.reset();
    return owned;
}

bool read_whole(int fd, std::string *text, std::string *error)
{
    bool fits = true;
    const bool read = read_pieces(fd, [&](const char *bytes, size_t count) {
        fits = text->size() + count <= MAX_INI_SIZE;
        if (fits)
            text->append(bytes, count);
        return fits;
    });
    if (!fits)
        *error = "too large for SYSTEM.INI";
    else if (!read)
        *error = failure("cannot read");
    return read;
}

enum class Change { RestoreHost, DeleteWormCopy, RepairSystemIni };

// A file that --clean is about to change, and what the change needs.
struct Target {
    const Listed &file;
    int fd;                             // open: read-write for a restoration or a repair
    uint64_t size = 0;                  // restoration: the size now; afterwards the host's length
    const std::string *ini = nullptr;   // repair: the file's text as read
    const ShellEntry *entry = nullptr;  // repair: the line to replace
};

bool delete_worm_copy(const Listed &file, std::string *error)
{
    struct stat now;
    if (fstatat(file.dir_fd, file.name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = failure("cannot delete");
        return false;
    }
    if (!same_file(now, file.st)) {
        *error = "replaced while being examined";
        return false;
    }
    if (unlinkat(file.dir_fd, file.name, 0) != 0) {
        *error = failure("cannot delete");
        return false;
    }
    return true;
}

// Only the bytes from the entry's line on differ: they are written over the
// old ones and the file is cut to the new length.
bool repair_system_ini(const Target &target, std::string *error)
{
    const std::string repaired = repair_shell_entry(*target.ini, *target.entry);
    size_t done = target.entry->line_begin;
    while (done < repaired.size()) {
        const ssize_t n = pwrite(target.fd, repaired.data() + done, repaired.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = failure("cannot write", n < 0 ? errno : EIO);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (ftruncate(target.fd, static_cast<off_t>(repaired.size())) != 0) {
        *error = failure("cannot cut the file to its new length");
        return false;
    }
    return true;
}

// Every change made to a file on the examined volume starts here, with the
// file known to need it and, for a rewrite, open for writing.
bool change_file(Target &target, Change change, std::string *error)
{
    switch (change) {
    case Change::RestoreHost:
        return restore_open_file(target.fd, target.size, &target.size, error);
    case Change::DeleteWormCopy:
        return delete_worm_copy(target.file, error);
    case Change::RepairSystemIni:
        return repair_system_ini(target, error);
    }
    return false;
}

// Answers true when the copy is gone.
bool handle_worm_copy(Scan &scan, const Listed &file, int fd)
{
    if (!scan.clean) {
        report(scan.out, file.path, Kind::WormCopy, Action::Reported);
        return false;
    }
    Target target{file, fd};
    std::string error;
    const bool deleted = change_file(target, Change::DeleteWormCopy, &error);
    report(scan.out, file.path, Kind::WormCopy, deleted ? Action::Deleted : Action::Failed, error);
    return deleted;
}

// A read-write descriptor of the listed file. A file without owner-write that
// this user owns gets it for the time of the restoration.
UniqueFd open_for_restoration(const Listed &file, int fd, const struct stat &st, std::string *error)
{
    const bool add_write = st.st_uid == geteuid() && (st.st_mode & S_IWUSR) == 0;
    if (add_write && fchmod(fd, (st.st_mode & 07777) | S_IWUSR) != 0) {
        *error = failure("cannot add owner-write");
        return UniqueFd();
    }
    struct stat now;
    UniqueFd writable = open_listed(file, O_RDWR, &now, error);
    if (!writable && add_write)
        fchmod(fd, st.st_mode & 07777);
    return writable;
}

// Archives care about dates: the times go back as they were, and the mode
// too (owner-write added for the restoration, set-user-ID dropped by a write).
void put_back_times_and_mode(Scan &scan, const Listed &file, int fd, const struct stat &st)
{
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (futimens(fd, times) != 0)
        warn(scan.out, file.path, failure("times not put back"));
    struct stat now;
    if (fstat(fd, &now) == 0 && (now.st_mode & 07777) != (st.st_mode & 07777) &&
        fchmod(fd, st.st_mode & 07777) != 0)
        warn(scan.out, file.path, failure("mode not put back"));
}

// Restores the host in place and examines the file again, as often as it
// still rates Infected (a host can carry the worm twice). Answers true when
// the file is gone: what was left turned out to be a worm copy.
bool handle_infected(Scan &scan, const Listed &file, int fd, const struct stat &st)
{
    if (!scan.clean) {
        report(scan.out, file.path, Kind::Infected, Action::Reported);
        return false;
    }
    std::string error;
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        report(scan.out, file.path, Kind::Infected, Action::Failed, "file of 4 GiB or more");
        return false;
    }
    UniqueFd writable = open_for_restoration(file, fd, st, &error);
    if (!writable) {
        report(scan.out, file.path, Kind::Infected, Action::Failed, error);
        return false;
    }
    Target target{file, writable.get(), static_cast<uint64_t>(st.st_size)};
    const uint64_t limit = max_restorations(target.size);
    uint64_t restorations = 0;
    ScanVerdict verdict = Infected;
    while (verdict == Infected) {
        if (restorations == limit) {
            report(scan.out, file.path, Kind::Infected, Action::Failed,
                   "still infected after " + std::to_string(limit) + " restorations");
            break;
        }
        if (!change_file(target, Change::RestoreHost, &error)) {
            report(scan.out, file.path, Kind::Infected, Action::Failed, error);
            break;
        }
        report(scan.out, file.path, Kind::Infected, Action::Restored);
        ++restorations;
        if (!rate_open_file(writable.get(), target.size, &verdict, &error)) {
            report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
            break;
        }
    }
    if (verdict == WormCopy && handle_worm_copy(scan, file, writable.get()))
        return true;
    put_back_times_and_mode(scan, file, writable.get(), st);
    return false;
}

// Answers true when the file was read.
bool handle_system_ini(Scan &scan, const Listed &file, int fd)
{
    std::string text, error;
    if (!read_whole(fd, &text, &error)) {
        report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
        return false;
    }
    const ShellEntry entry = find_shell_entry(text);
    if (!shell_entry_names_loader(entry))
        return true;
    if (!scan.clean) {
        report(scan.out, file.path, Kind::SystemIni, Action::Reported);
        return true;
    }
    struct stat now;
    UniqueFd writable = open_listed(file, O_RDWR, &now, &error);
    bool repaired = false;
    if (writable) {
        Target target{file, writable.get()};
        target.ini = &text;
        target.entry = &entry;
        repaired = change_file(target, Change::RepairSystemIni, &error);
    }
    report(scan.out, file.path, Kind::SystemIni, repaired ? Action::Repaired : Action::Failed, error);
    return true;
}

void process_file(Scan &scan, const Listed &file)
{
    ++scan.out.totals.files;
    const char *slash = strrchr(file.name, '/');
    const bool ini = strcasecmp(slash != nullptr ? slash + 1 : file.name, "SYSTEM.INI") == 0;
    if (file.st.st_size < WORM_MIN_SIZE && !ini)
        return;

    std::string error;
    struct stat st;
    UniqueFd fd = open_listed(file, O_RDONLY, &st, &error);
    if (!fd) {
        report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
        return;
    }
    bool examined = false, gone = false;
    if (st.st_size >= WORM_MIN_SIZE) {
        ScanVerdict verdict = Clean;
        if (!rate_open_file(fd.get(), static_cast<uint64_t>(st.st_size), &verdict, &error)) {
            report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
            return;
        }
        examined = true;
        if (verdict == Infected)
            gone = handle_infected(scan, file, fd.get(), st);
        else if (verdict == WormCopy)
            gone = handle_worm_copy(scan, file, fd.get());
    }
    if (ini && !gone)
        examined = handle_system_ini(scan, file, fd.get()) || examined;
    if (examined)
        ++scan.out.totals.examined;
}

struct Name {
    std::string name;
    unsigned char type;  // d_type: DT_UNKNOWN where the file system does not say
};

bool list_folder(int dir_fd, std::vector<Name> *names, std::string *error)
{
    const int fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<DIR, int (*)(DIR *)> dir(fd >= 0 ? fdopendir(fd) : nullptr, closedir);
    if (!dir) {
        *error = failure("cannot list");
        if (fd >= 0)
            close(fd);
        return false;
    }
    errno = 0;
    while (const struct dirent *entry = readdir(dir.get())) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
            names->push_back(Name{name, entry->d_type});
        errno = 0;
    }
    if (errno != 0) {
        *error = failure("cannot list");
        return false;
    }
    return true;
}

void walk_folder(Scan &scan, int dir_fd, std::string &path);

void visit(Scan &scan, int dir_fd, const Name &entry, std::string &path)
{
    if (entry.type == DT_LNK)
        return;
    struct stat st = {};
    if (entry.type != DT_DIR && fstatat(dir_fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        report(scan.out, path, Kind::NotExamined, Action::Skipped, failure("cannot examine"));
        return;
    }
    if (entry.type == DT_DIR || S_ISDIR(st.st_mode)) {
        UniqueFd folder(open_untouched(dir_fd, entry.name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A folder replaced by a link meanwhile fails here (ELOOP or ENOTDIR) and is not followed.
        if (!folder)
            report(scan.out, path, Kind::NotExamined, Action::Skipped, failure("cannot open folder"));
        else
            walk_folder(scan, folder.get(), path);
    } else if (S_ISREG(st.st_mode)) {
        process_file(scan, Listed{dir_fd, entry.name.c_str(), path, st});
    }
}

void walk_folder(Scan &scan, int dir_fd, std::string &path)
{
    std::vector<Name> names;
    std::string error;
    if (!list_folder(dir_fd, &names, &error)) {
        report(scan.out, path, Kind::NotExamined, Action::Skipped, error);
        return;
    }
    std::sort(names.begin(), names.end(), [](const Name &a, const Name &b) { return a.name < b.name; });
    const size_t length = path.size();
    for (const Name &entry : names) {
        if (path.empty() || path.back() != '/')
            path += '/';
        path += entry.name;
        visit(scan, dir_fd, entry, path);
        path.resize(length);
        show_progress(scan.out, path);
    }
}

}  // namespace

void scan_path(Scan &scan, const std::string &argument)
{
    std::string path = argument;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        report(scan.out, path, Kind::NotExamined, Action::Skipped, failure("cannot examine"));
    } else if (S_ISLNK(st.st_mode)) {
        report(scan.out, path, Kind::NotExamined, Action::Skipped, "symbolic link, not followed");
    } else if (S_ISDIR(st.st_mode)) {
        UniqueFd folder(open_untouched(AT_FDCWD, path.c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder)
            report(scan.out, path, Kind::NotExamined, Action::Skipped, failure("cannot open folder"));
        else
            walk_folder(scan, folder.get(), path);
    } else if (S_ISREG(st.st_mode)) {
        process_file(scan, Listed{AT_FDCWD, path.c_str(), path, st});
    } else {
        report(scan.out, path, Kind::NotExamined, Action::Skipped, "not a regular file or folder");
    }
}
