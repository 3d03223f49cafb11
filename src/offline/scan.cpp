#include "offline/scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "detect/image_rules.h"
#include "offline/archive.h"
#include "offline/disk_image.h"
#include "offline/examine.h"
#include "offline/hives.h"
#include "offline/ini_edit.h"
#include "offline/interrupt.h"
#include "offline/posix_file.h"
#include "offline/quarantine.h"
#include "remedy/host_locate.h"

namespace {

// Real SYSTEM.INI files are a few kilobytes; the whole file is held in memory.
const size_t MAX_INI_SIZE = 16 << 20;


bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The listed file itself, never through a symbolic link and only while its
// name still leads to the same regular file. The type is checked through an
// O_PATH descriptor, which opens nothing: a device or FIFO swapped in by a
// racer is never opened. The file is then opened through that descriptor,
// so it is the inode checked, whatever the name leads to by then.
UniqueFd open_listed(const Listed &file, int access, struct stat *now, std::string *error)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | access;
    const char *cannot = access == O_RDONLY ? "cannot open" : "cannot open for writing";
    UniqueFd path(openat(file.dir_fd, file.name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!path) {
        *error = failure(cannot);
        return UniqueFd();
    }
    if (fstat(path.get(), now) != 0) {
        *error = failure("cannot examine");
        return UniqueFd();
    }
    if (!S_ISREG(now->st_mode) || !same_file(*now, file.st)) {
        *error = "replaced while being examined";
        return UniqueFd();
    }
    // Opened again through /proc, it is that inode, checked already.
    UniqueFd owned(reopen_path(path.get(), flags));
    if (owned)
        return owned;
    // Without /proc the file is opened by its name, its type checked again after.
    if (errno == ENOENT)
        owned.reset(access == O_RDONLY ? open_untouched(file.dir_fd, file.name, flags)
                                       : openat(file.dir_fd, file.name, flags));
    if (!owned)
        *error = failure(cannot);
    else if (fstat(owned.get(), now) != 0)
        *error = failure("cannot examine");
    else if (!S_ISREG(now->st_mode) || !same_file(*now, file.st))
        *error = "replaced while being examined";
    else
        return owned;
    return UniqueFd();
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

// A file that --clean is about to change, and what the change needs.
struct Target {
    const Listed &file;
    int fd;                             // open: read-only, or read-write for a repair
    const struct stat &st;              // as first opened: the mode and times to keep
    uint64_t size;                      // its bytes now; after a restoration the host's length
    UniqueFd writable = UniqueFd();     // restoration: opened by the first one
    const std::string *ini = nullptr;   // repair: the file's text as read
    const ShellEntry *entry = nullptr;  // repair: the line to replace
    const HiveEdit *hive = nullptr;     // registry hive: its bytes as read and as repaired
    int replacement = -1;               // rewrite: the new archive, written and checked
    uint64_t replacement_size = 0;
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

// The text read earlier is still exactly the file's bytes: none changed, none
// added. False with errno 0 when they differ, or set when a read fails.
bool still_reads(int fd, const std::string &text)
{
    std::string now(text.size(), '\0');
    char more;
    errno = 0;
    return pread_exactly(fd, now.data(), now.size(), 0) && now == text &&
           pread(fd, &more, 1, static_cast<off_t>(text.size())) == 0;
}

// Only the bytes from the entry's line on differ: they are written over the
// old ones and the file is cut to the new length. The text was read through
// another descriptor a while ago: what someone wrote since is not overwritten.
bool repair_system_ini(const Target &target, std::string *error)
{
    if (!still_reads(target.fd, *target.ini)) {
        *error = errno != 0 ? failure("cannot read") : "changed while being examined";
        return false;
    }
    const std::string repaired = repair_shell_entry(*target.ini, *target.entry);
    if (!allocate_blocks(target.fd, repaired.size())) {
        *error = allocation_failure();
        return false;
    }
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

// An absolute folder path followed by the names in rest.
std::string joined(const std::string &folder, const std::string &rest)
{
    const size_t names = rest.find_first_not_of('/');
    if (names == std::string::npos)
        return folder;
    return folder + (folder.back() == '/' ? "" : "/") + rest.substr(names);
}

// Where the file at path (as reported) lies, for the manifest: absolute, so
// that --undo may run anywhere, and below its root.
Place place_of(const Scan &scan, const std::string &path)
{
    Place place;
    place.root = joined(scan.absolute, path.substr(scan.argument_length, scan.root_length - scan.argument_length));
    const size_t below = path.find_first_not_of('/', scan.root_length);
    place.below = below == std::string::npos ? "" : path.substr(below);
    place.path = joined(place.root, place.below);
    place.root_dev = scan.root_dev;
    place.root_ino = scan.root_ino;
    return place;
}

// Every change made to a file on the examined volume starts here, with the
// file known to need it. With a quarantine, nothing changes (not even the
// mode) before the file's bytes and the line describing the change are on
// disk; the outcome is recorded once the change is on disk too.
bool change_file(Scan &scan, Target &target, Change change, std::string *error)
{
    // A signal now waits until the change and its record are on disk.
    const SignalsHeld held;
    if (scan.quarantine == nullptr && !scan.said_no_undo) {
        warn(scan.out, "--clean without --quarantine", "these changes cannot be undone");
        scan.said_no_undo = true;
    }
    const Place place = scan.quarantine != nullptr ? place_of(scan, target.file.path) : Place();
    if (scan.quarantine != nullptr &&
        !record_change(*scan.quarantine, place, target.fd, target.size, target.st, change, error))
        return false;
    bool changed = false;
    switch (change) {
    case Change::RestoreHost:
        if (!target.writable)
            target.writable = open_for_restoration(target.file, target.fd, target.st, error);
        changed = target.writable && restore_open_file(target.writable.get(), target.size, &target.size, error);
        break;
    case Change::DeleteWormCopy:
        changed = delete_worm_copy(target.file, error);
        break;
    case Change::RepairSystemIni:
        changed = repair_system_ini(target, error);
        break;
    case Change::RepairHive:
        changed = write_hive(target.fd, *target.hive, error);
        break;
    case Change::RewriteArchive:
        target.writable = open_for_restoration(target.file, target.fd, target.st, error);
        changed = target.writable && copy_over(target.writable.get(), target.replacement, target.replacement_size, error);
        break;
    }
    if (scan.quarantine == nullptr)
        return changed;
    // The file as the change left it: gone, or its bytes through either descriptor.
    const int now = change == Change::DeleteWormCopy && changed ? -1
                    : target.writable                           ? target.writable.get()
                                                                : target.fd;
    if (changed && now >= 0 && fsync(now) != 0) {
        *error = failure("cannot flush the change");
        changed = false;
    }
    std::string unrecorded;
    if (!record_outcome(*scan.quarantine, place.path, now, changed, *error, &unrecorded))
        warn(scan.out, target.file.path, unrecorded);
    return changed;
}

// Answers true when the copy is gone.
bool handle_worm_copy(Scan &scan, const Listed &file, int fd, const struct stat &st, uint64_t size)
{
    Extra links;
    links.links = st.st_nlink;
    if (!scan.clean) {
        report(scan.out, file.path, Kind::WormCopy, Action::Reported, "", links);
        return false;
    }
    Target target{file, fd, st, size};
    std::string error;
    const bool deleted = change_file(scan, target, Change::DeleteWormCopy, &error);
    report(scan.out, file.path, Kind::WormCopy, deleted ? Action::Deleted : Action::Failed, error, links);
    return deleted;
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
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        report(scan.out, file.path, Kind::Infected, Action::Failed, "file of 4 GiB or more");
        return false;
    }
    Target target{file, fd, st, static_cast<uint64_t>(st.st_size)};
    std::string error;
    const uint64_t limit = max_restorations(target.size);
    uint64_t restorations = 0;
    ScanVerdict verdict = Infected;
    while (verdict == Infected) {
        if (restorations == limit) {
            report(scan.out, file.path, Kind::Infected, Action::Failed,
                   "still infected after " + std::to_string(limit) + " restorations");
            break;
        }
        if (!change_file(scan, target, Change::RestoreHost, &error)) {
            report(scan.out, file.path, Kind::Infected, Action::Failed, error);
            break;
        }
        report(scan.out, file.path, Kind::Infected, Action::Restored);
        ++restorations;
        if (!rate_open_file(fd, target.size, &verdict, &error)) {
            report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
            break;
        }
    }
    if (verdict == WormCopy && handle_worm_copy(scan, file, fd, st, target.size))
        return true;
    if (target.writable)
        put_back_times_and_mode(scan, file, target.writable.get(), st);
    return false;
}

// Answers true when the file was read.
bool handle_system_ini(Scan &scan, const Listed &file, int fd, const struct stat &st)
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
        // The text is read again before the write: without moving the access time, where allowed.
        fcntl(writable.get(), F_SETFL, fcntl(writable.get(), F_GETFL) | O_NOATIME);
        Target target{file, writable.get(), st, text.size()};
        target.ini = &text;
        target.entry = &entry;
        repaired = change_file(scan, target, Change::RepairSystemIni, &error);
    }
    report(scan.out, file.path, Kind::SystemIni, repaired ? Action::Repaired : Action::Failed, error);
    return true;
}

bool rates_clean(int fd)
{
    struct stat now;
    ScanVerdict verdict = Clean;
    std::string error;
    return fstat(fd, &now) == 0 && rate_open_file(fd, static_cast<uint64_t>(now.st_size), &verdict, &error) &&
           verdict == Clean;
}

// Looks inside the file as an archive; under --clean a ZIP or tar holding the
// worm gets its new bytes through change_file, like any other change, and its
// times back. Answers true when it was an archive. head: the file's first
// bytes as the rules read them, read on from there when needed.
bool handle_archive(Scan &scan, const Listed &file, int fd, const struct stat &st, bool restored, FileHead &head)
{
    // A restoration changed the size: only then is it asked again.
    struct stat now = st;
    if ((restored && fstat(fd, &now) != 0) || !archive_candidate(file.name, static_cast<uint64_t>(now.st_size)))
        return false;
    const ReplaceArchive replace = [&](int replacement, uint64_t size, std::string *error) {
        // The rewrite was planned from the bytes examined: any write since (a
        // change time or size other than then) makes it stale.
        struct stat current;
        if (fstat(fd, &current) != 0 || current.st_size != now.st_size ||
            current.st_ctim.tv_sec != now.st_ctim.tv_sec || current.st_ctim.tv_nsec != now.st_ctim.tv_nsec) {
            *error = "changed while being examined";
            return false;
        }
        Target target{file, fd, st, static_cast<uint64_t>(now.st_size)};
        target.replacement = replacement;
        target.replacement_size = size;
        const bool replaced = change_file(scan, target, Change::RewriteArchive, error);
        if (target.writable)
            put_back_times_and_mode(scan, file, target.writable.get(), st);
        return replaced;
    };
    ArchiveFile archive{fd, static_cast<uint64_t>(now.st_size), file.path, file.dir_fd, file.name};
    if (!restored && head.length > 0)
        archive.head = &head;
    return examine_archive(scan.out, archive, scan.clean ? &replace : nullptr);
}

// The quarantine's copies hold the worm: were DIR inside the examined tree,
// cleaning them would take away what --undo needs.
bool in_quarantine(const Scan &scan, const Listed &file)
{
    if (scan.quarantine == nullptr)
        return false;
    const char *slash = strrchr(file.name, '/');
    const std::string folder = file.dir_fd != AT_FDCWD ? ""
                               : slash == nullptr      ? "."
                                                       : std::string(file.name, std::max<size_t>(slash - file.name, 1));
    struct stat st;
    const int found = folder.empty() ? fstat(file.dir_fd, &st) : stat(folder.c_str(), &st);
    return found == 0 && same_file(st, scan.quarantine->dir_st);
}

// Hives are handled when their PATH's walk ends, through their folder held
// open; hives of one folder share it, and so many folders at most are held
// (a user hive in every folder of a prepared disk must not use up the
// descriptors the walk needs).
// (An eighth of the descriptors this process may have, 256 at the most, for
// machine hives and as many for user hives.)
size_t max_hive_folders()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 256;
    return std::min<size_t>(256, static_cast<size_t>(limit.rlim_cur / 8));
}

// The walk's place of the hive just noted, its folder kept open.
bool keep_hive_folder(Scan &scan, const Listed &file, std::string *error)
{
    MetHive &noted = scan.hives.back();
    struct stat folder;
    if (fstat(file.dir_fd, &folder) != 0) {
        *error = failure("cannot examine its folder");
        return false;
    }
    const MetHive *before = scan.hives.size() > 1 ? &scan.hives[scan.hives.size() - 2] : nullptr;
    if (before != nullptr && before->folder_dev == folder.st_dev && before->folder_ino == folder.st_ino) {
        noted.folder = before->folder;
    } else {
        // The few machine hives are counted apart from the user hives, which
        // a prepared disk may hold in every folder.
        const size_t most = max_hive_folders();
        size_t &held = scan.hive_folders[noted.kind == HiveKind::User ? 1 : 0];
        if (held >= most) {
            *error = "registry hive in more than " + std::to_string(most) + " folders of one PATH";
            return false;
        }
        noted.folder = std::make_shared<UniqueFd>(fcntl(file.dir_fd, F_DUPFD_CLOEXEC, 0));
        ++held;
    }
    noted.folder_dev = folder.st_dev;
    noted.folder_ino = folder.st_ino;
    noted.name = file.name;
    noted.root_length = scan.root_length;
    noted.root_dev = scan.root_dev;
    noted.root_ino = scan.root_ino;
    return true;
}

}  // namespace

// Files the walk skips without opening them: too small for the worm and
// neither SYSTEM.INI, a hive nor an archive. Asked of every file.
Worth worth_of(const Listed &file, bool archives)
{
    Worth worth;
    const size_t length = strlen(file.name);
    const char *slash = static_cast<const char *>(memrchr(file.name, '/', length));
    const char *base = slash != nullptr ? slash + 1 : file.name;
    // Its length rules out nearly all.
    worth.ini = file.name + length - base == 10 && strcasecmp(base, "SYSTEM.INI") == 0;
    worth.hive = hive_named(file.path);
    worth.archive = archives && archive_candidate(file.name, length, static_cast<uint64_t>(file.st.st_size));
    worth.read = file.st.st_size >= WORM_MIN_SIZE || worth.ini || worth.hive != HiveKind::None || worth.archive;
    return worth;
}

namespace {

// A read of a file's first bytes longer than this waited on the disk.
const uint64_t READ_WAITED_NS = 50000;

}  // namespace

bool read_listed(const Listed &file, bool archives, FileRead *read, uint8_t *cached_only)
{
    read->fd.reset();
    read->error.clear();
    read->rated = read->rate_failed = false;
    read->head.length = 0;
    read->worth = worth_of(file, archives);
    if (!read->worth.read)
        return true;
    read->fd = open_listed(file, O_RDONLY, &read->st, &read->error);
    if (cached_only == nullptr || !read->fd || read->st.st_size < WORM_MIN_SIZE) {
        rate_read(read);
        return true;
    }
    const int cached = read_first_page_cached(read->fd.get(), static_cast<uint64_t>(read->st.st_size), &read->head);
    if (cached == 0)
        return false;
    if (cached == 1) {
        rate_read(read);
        return true;
    }
    // Where the page cache cannot tell, the file is read here while such
    // reads are quick: once most of the recent ones waited, no more.
    if (__builtin_popcount(*cached_only) >= 4)
        return false;
    const uint64_t started = monotonic_ns();
    rate_read(read);
    *cached_only = static_cast<uint8_t>(*cached_only << 1 | (monotonic_ns() - started > READ_WAITED_NS ? 1 : 0));
    return true;
}

void rate_read(FileRead *read)
{
    // The bytes the rules rate and those the look for an archive starts from: one read.
    if (read->fd && read->st.st_size >= WORM_MIN_SIZE) {
        read->rated = rate_open_file(read->fd.get(), static_cast<uint64_t>(read->st.st_size), &read->head,
                                     &read->verdict, &read->error);
        read->rate_failed = !read->rated;
    }
}

void process_file(Scan &scan, const Listed &file, FileRead *read, const Worth *worth)
{
    if (in_quarantine(scan, file))
        return;
    ++scan.out.totals.files;
    if (read == nullptr && !(worth != nullptr ? worth->read : worth_of(file, scan.archives).read))
        return;
    // Read here when no reader did: one FileRead kept from file to file.
    static FileRead here;
    if (read == nullptr) {
        read = &here;
        read_listed(file, scan.archives, read);
    }
    if (!read->worth.read)
        return;
    const bool ini = read->worth.ini, archive = read->worth.archive;
    const HiveKind hive = read->worth.hive;
    std::string error = read->error;
    const struct stat &st = read->st;
    UniqueFd fd = std::move(read->fd);
    if (!fd) {
        report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
        return;
    }
    const size_t met = scan.hives.size();
    const bool hive_only = hive != HiveKind::None && note_hive(scan.hives, file.path, st, hive, fd.get());
    if (scan.hives.size() > met && !keep_hive_folder(scan, file, &error)) {
        scan.hives.pop_back();
        report(scan.out, file.path, Kind::NotExamined, Action::Skipped, error);
    }
    if (hive_only)
        return;
    bool examined = false, gone = false, offer = archive, restored = false;
    FileHead &head = read->head;
    if (st.st_size >= WORM_MIN_SIZE) {
        const ScanVerdict verdict = read->verdict;
        if (read->rate_failed) {
            report(scan.out, file.path, Kind::NotExamined, Action::Skipped, read->error);
            return;
        }
        examined = true;
        if (verdict == Infected)
            gone = handle_infected(scan, file, fd.get(), st);
        else if (verdict == WormCopy)
            gone = handle_worm_copy(scan, file, fd.get(), st, static_cast<uint64_t>(st.st_size));
        // The worm is not an archive; a host restored in full may be one.
        restored = verdict == Infected && scan.clean && !gone;
        offer = offer && (verdict == Clean || (restored && rates_clean(fd.get())));
    }
    if (ini && !gone)
        examined = handle_system_ini(scan, file, fd.get(), st) || examined;
    const uint64_t members = scan.out.totals.members;
    if (offer && !gone)
        examined = handle_archive(scan, file, fd.get(), st, restored, head) || examined;
    // A volume's files are examined only when it is mounted: an image of one is not taken for clean (nor
    // for the empty tar that libarchive sees in the zeros an ext volume starts with).
    std::string volume;
    if (!gone && scan.out.totals.members == members && disk_image(fd.get(), static_cast<uint64_t>(st.st_size), &volume))
        report(scan.out, file.path, Kind::NotExamined, Action::Skipped,
               "disk image (" + volume + "): mount it and give the mount folder");
    // Reading the restored host again may move its access time where O_NOATIME is not kept (FUSE).
    if (restored)
        put_back_times_and_mode(scan, file, fd.get(), st);
    if (examined)
        ++scan.out.totals.examined;
}

// The hives met in a PATH, once it is walked: opened again in the folder the
// walk met them in (never by their path, whose folders may have become links
// since), only while the name leads to the file the walk listed.
void finish_hives(Scan &scan)
{
    if (interrupted()) {
        scan.hives.clear();
        scan.hive_folders[0] = scan.hive_folders[1] = 0;
        return;
    }
    HiveAccess access;
    const auto listed = [](const MetHive &hive, std::string *error) {
        if (!*hive.folder)
            *error = failure("cannot keep its folder open", EMFILE);
        return Listed{hive.folder->get(), hive.name.c_str(), hive.path, hive.st};
    };
    access.open = [&listed](const MetHive &hive, std::string *error) {
        struct stat now;
        const Listed file = listed(hive, error);
        return error->empty() ? open_listed(file, O_RDONLY, &now, error) : UniqueFd();
    };
    access.write = [&scan, &listed](const MetHive &hive, const HiveEdit &edit, std::string *error) {
        struct stat now;
        const Listed file = listed(hive, error);
        UniqueFd writable = error->empty() ? open_listed(file, O_RDWR, &now, error) : UniqueFd();
        if (!writable)
            return false;
        // Recorded below the root the walk met the hive under.
        scan.root_length = hive.root_length;
        scan.root_dev = hive.root_dev;
        scan.root_ino = hive.root_ino;
        Target target{file, writable.get(), hive.st, edit.before_size};
        target.hive = &edit;
        return change_file(scan, target, Change::RepairHive, error);
    };
    handle_hives(scan.out, scan.hives, HiveOptions{scan.clean, scan.unshare}, access);
    scan.hive_folders[0] = scan.hive_folders[1] = 0;
}
