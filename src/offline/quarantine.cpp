#include "offline/quarantine.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include <nettle/sha2.h>

namespace {

const char *const CHANGE_NAMES[] = {"restore", "delete", "repair", "repair-hive", "rewrite"};
const char MANIFEST[] = "manifest.jsonl";

std::string to_hex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

int hex_digit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// What --undo may trust in DIR: written by this user alone, and reachable by no other name.
bool owned_alone(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int64_t nanoseconds(const struct timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// When a change was recorded, in UTC: "2026-03-01T14:05:09Z".
std::string utc_now()
{
    const time_t now = time(nullptr);
    struct tm parts;
    char text[32] = "";
    if (gmtime_r(&now, &parts) != nullptr)
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// An existing <sha256>.bin is used only when it is a copy of ours holding
// exactly those bytes.
bool have_copy(const Quarantine &q, const std::string &name, const std::string &sha256, uint64_t size)
{
    std::string error, found;
    uint64_t found_size = 0;
    UniqueFd there = open_kept(q, name, &error);
    return there && hash_file(there.get(), &found, &found_size, &error) && found == sha256 && found_size == size;
}

// The bytes of fd copied to a temporary file in DIR (sparse where fd is),
// then, on disk, renamed to <sha256>.bin, unless a copy of the same bytes is
// there already. A name there that holds anything else is replaced.
bool keep_copy(Quarantine &q, int fd, std::string *sha256, uint64_t *size, std::string *error)
{
    const char *what = "cannot keep a copy in the quarantine";
    // Unique among the runs sharing DIR, and apart from what a killed run left.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string part =
        std::to_string(getpid()) + "-" + std::to_string(nanoseconds(now)) + "-" + std::to_string(++q.copies) + ".part";
    UniqueFd copy(openat(q.dir.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400));
    if (!copy) {
        *error = failure(what);
        return false;
    }
    bool kept = hash_file(fd, sha256, size, error, copy.get(), what);
    const std::string name = *sha256 + ".bin";
    const bool have = kept && have_copy(q, name, *sha256, *size);
    if (kept && !have &&
        (fchmod(copy.get(), 0400) != 0 || fsync(copy.get()) != 0 ||
         renameat(q.dir.get(), part.c_str(), q.dir.get(), name.c_str()) != 0)) {
        *error = failure(what);
        kept = false;
    }
    if (!kept || have)
        unlinkat(q.dir.get(), part.c_str(), 0);
    // The name, new or found, must be on disk before the manifest line that uses it.
    if (kept && fsync(q.dir.get()) != 0) {
        *error = failure(what);
        kept = false;
    }
    return kept;
}

// The missing folders on the way to dir, made one at a time (mode 0700), each
// checked as DIR is and flushed into its parent (reachable after a crash).
bool make_parents(const std::string &dir, std::string *error)
{
    std::vector<std::string> missing;
    std::string at = dir;
    struct stat st;
    for (;;) {
        const size_t slash = at.find_last_of('/');
        at.resize(slash == std::string::npos ? 0 : slash);
        while (at.size() > 1 && at.back() == '/')
            at.pop_back();
        if (at.empty() || lstat(at.c_str(), &st) == 0 || errno != ENOENT)
            break;
        missing.push_back(at);
    }
    for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
        if (mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) {
            *error = failure("cannot make the quarantine folder");
            return false;
        }
        UniqueFd made(open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!made || fstat(made.get(), &st) != 0) {
            *error = failure(("cannot open " + *folder).c_str());
            return false;
        }
        if (st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            *error = *folder + ": not used as the quarantine: not a folder of this user that only this user may write";
            return false;
        }
        UniqueFd parent(openat(made.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent)
            fsync(parent.get());
    }
    return true;
}

}  // namespace

const char *change_name(Change change)
{
    return CHANGE_NAMES[static_cast<int>(change)];
}

const Volume &volume_of(Quarantine &q, dev_t dev)
{
    const auto known = q.volumes.find(dev);
    return known != q.volumes.end() ? known->second : q.volumes[dev] = identify_volume(dev);
}

bool open_quarantine(Quarantine &q, const std::string &given, bool for_undo, std::string *error)
{
    // A trailing slash would have the link DIR followed.
    std::string dir = given;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (!for_undo && !make_parents(dir, error))
        return false;
    const bool made = !for_undo && mkdir(dir.c_str(), 0700) == 0;
    q.dir.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!q.dir) {
        const bool link = errno == ELOOP || (errno == ENOTDIR && lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        *error = link ? "not used as the quarantine: a symbolic link" : failure("cannot open the quarantine folder");
        return false;
    }
    if (fstat(q.dir.get(), &q.dir_st) != 0) {
        *error = failure("cannot open the quarantine folder");
        return false;
    }
    if (q.dir_st.st_uid != geteuid()) {
        *error = "not used as the quarantine: owned by another user (uid " + std::to_string(q.dir_st.st_uid) + ")";
        return false;
    }
    if ((q.dir_st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *error = "not used as the quarantine: writable by group or others";
        return false;
    }
    const int create = for_undo ? 0 : O_CREAT;
    q.manifest.reset(
        openat(q.dir.get(), MANIFEST, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | create, 0600));
    if (!q.manifest || fstat(q.manifest.get(), &st) != 0) {
        *error = failure("cannot open manifest.jsonl");
        return false;
    }
    if (!owned_alone(st)) {
        *error = "manifest.jsonl is not a regular file of this user with one link that only this user may write";
        return false;
    }
    // An undo must not put files back while a clean is still changing them.
    if (flock(q.manifest.get(), (for_undo ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? "in use by another run" : failure("cannot lock manifest.jsonl");
        return false;
    }
    char last = '\n';
    if (st.st_size > 0 && pread(q.manifest.get(), &last, 1, st.st_size - 1) != 1) {
        *error = failure("cannot read manifest.jsonl");
        return false;
    }
    q.cut_short = last != '\n';
    // A new folder and manifest must stay reachable after a crash.
    if (made) {
        UniqueFd parent(openat(q.dir.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (parent)
            fsync(parent.get());
    }
    if (st.st_size == 0 && fsync(q.dir.get()) != 0) {
        *error = failure("cannot flush the quarantine folder");
        return false;
    }
    return true;
}

UniqueFd open_kept(const Quarantine &q, const std::string &name, std::string *error)
{
    UniqueFd fd(openat(q.dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        *error = failure(("cannot open the kept copy " + name).c_str());
        fd.reset();
    } else if (!owned_alone(st)) {
        *error = "the kept copy " + name + " is not a regular file of this user with one link";
        fd.reset();
    }
    return fd;
}

bool hash_file(int fd, std::string *sha256, uint64_t *size, std::string *error, int copy_to,
               const char *cannot_write, bool fill_holes)
{
    struct sha256_ctx context;
    sha256_init(&context);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = failure("cannot read");
        return false;
    }
    // A clean killed after its copy must not leave the file's access time moved by the copy's read.
    const int flags = fcntl(fd, F_GETFL);
    const bool untouched = flags >= 0 && (flags & O_NOATIME) == 0 && fcntl(fd, F_SETFL, flags | O_NOATIME) == 0;
    // Holes are read as zeros without reading them; in a new copy they stay holes.
    const uint64_t end = static_cast<uint64_t>(st.st_size);
    std::vector<char> buffer(256 << 10);
    std::vector<char> zeros(buffer.size());
    bool written = true, read = true;
    uint64_t offset = 0, hole = 0;  // hole: where the data being read ends, as far as known
    const auto take = [&](const char *bytes, size_t count, bool data) {
        written = copy_to < 0 || (!data && !fill_holes) || pwrite_exactly(copy_to, bytes, count, offset);
        if (written) {
            sha256_update(&context, count, reinterpret_cast<const uint8_t *>(bytes));
            offset += count;
        }
        return written;
    };
    for (;;) {
        if (offset >= hole && offset < end) {
            const off_t found = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
            const uint64_t data = found >= 0 ? std::min<uint64_t>(static_cast<uint64_t>(found), end)
                                  : errno == ENXIO ? end
                                                   : offset;
            while (written && offset < data)
                take(zeros.data(), static_cast<size_t>(std::min<uint64_t>(zeros.size(), data - offset)), false);
            if (!written)
                break;
            const off_t after = offset < end ? lseek(fd, static_cast<off_t>(offset), SEEK_HOLE) : -1;
            hole = after > static_cast<off_t>(offset) && static_cast<uint64_t>(after) < end ? static_cast<uint64_t>(after)
                                                                                           : UINT64_MAX;
        } else if (offset >= end) {
            hole = UINT64_MAX;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), hole - offset));
        const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            read = false;
        if (n <= 0 || !take(buffer.data(), static_cast<size_t>(n), true))
            break;
    }
    int reason = errno;
    if (untouched)
        fcntl(fd, F_SETFL, flags);
    *size = offset;
    if (read && written && copy_to >= 0 && !fill_holes && ftruncate(copy_to, static_cast<off_t>(offset)) != 0) {
        written = false;
        reason = errno;
    }
    if (!read || !written) {
        *error = failure(read ? cannot_write : "cannot read", reason);
        return false;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    *sha256 = to_hex(std::string(reinterpret_cast<char *>(digest), sizeof digest));
    return true;
}

bool record_change(Quarantine &q, const Place &place, int fd, uint64_t size, const struct stat &st,
                   Change change, std::string *error)
{
    return record_change(q, place, fd, size, st, change_name(change), error);
}

bool record_change(Quarantine &q, const Place &place, int fd, uint64_t size, const struct stat &st,
                   const char *action, std::string *error)
{
    // A later change of the same file in this run: undo puts back the copy of its first.
    const auto file = std::make_pair(st.st_dev, st.st_ino);
    const auto kept = q.kept.find(file);
    if (kept != q.kept.end() && kept->second == place.path) {
        nlohmann::ordered_json again;
        put_path(again, place.path);
        again["again"] = action;
        return append_line(q, again, error);
    }
    std::string sha256;
    uint64_t kept_size = 0;
    if (!keep_copy(q, fd, &sha256, &kept_size, error))
        return false;
    if (kept_size != size) {
        *error = "changed while being copied to the quarantine";
        return false;
    }
    nlohmann::ordered_json line;
    put_path(line, place.path);
    if (!place.root.empty()) {
        put_path(line, place.root, "root");
        line["root_dev"] = place.root_dev;
        line["root_ino"] = place.root_ino;
        put_path(line, place.below, "below");
        line["dev"] = st.st_dev;
        line["ino"] = st.st_ino;
        // What identifies the root's volume after it is unmounted and mounted again.
        const Volume &volume = volume_of(q, place.root_dev);
        if (!volume.uuid.empty()) {
            line["fs_type"] = volume.type;
            line["fs_uuid"] = volume.uuid;
            line["stable_inodes"] = volume.stable_inodes;
        }
        if (!q.image.is_null())
            line["image"] = q.image;
    }
    line["sha256_before"] = sha256;
    line["size_before"] = size;
    line["mode"] = st.st_mode & 07777;
    line["mtime_ns"] = nanoseconds(st.st_mtim);
    line["atime_ns"] = nanoseconds(st.st_atim);
    line["action"] = action;
    // A deleted file is recreated with its owner.
    line["uid"] = st.st_uid;
    line["gid"] = st.st_gid;
    line["time"] = utc_now();
    if (!append_line(q, line, error))
        return false;
    q.kept[file] = place.path;
    return true;
}

bool record_outcome(Quarantine &q, const std::string &path, int fd, bool done, const std::string &change_error,
                    std::string *error)
{
    nlohmann::ordered_json line;
    put_path(line, path);
    std::string sha256, unread;
    uint64_t size = 0;
    if (fd < 0)
        line["sha256_after"] = nullptr;
    else if (hash_file(fd, &sha256, &size, &unread)) {
        line["sha256_after"] = sha256;
        line["size_after"] = size;
    }
    // Without sha256_after, --undo takes the change for one that never completed.
    line["done"] = done;
    if (!done)
        line["error"] = change_error;
    return append_line(q, line, error);
}

void put_path(nlohmann::ordered_json &line, const std::string &path, const char *key)
{
    line[key] = path;
    try {
        (void)line[key].dump();
    } catch (const nlohmann::json::type_error &) {
        line[std::string(key) + "_hex"] = to_hex(path);
    }
}

bool get_path(const nlohmann::json &line, std::string *path, const char *key)
{
    const auto hex = line.find(std::string(key) + "_hex");
    if (hex == line.end()) {
        const auto text = line.find(key);
        if (text == line.end() || !text->is_string())
            return false;
        *path = text->get<std::string>();
        return !path->empty();
    }
    if (!hex->is_string())
        return false;
    const std::string &digits = hex->get_ref<const std::string &>();
    path->clear();
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        const int high = hex_digit(digits[i]), low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0)
            return false;
        *path += static_cast<char>(high << 4 | low);
    }
    return !path->empty() && digits.size() % 2 == 0;
}

bool append_line(Quarantine &q, const nlohmann::ordered_json &line, std::string *error)
{
    std::string text = q.cut_short ? "\n" : "";
    text += line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
    const ssize_t n = write(q.manifest.get(), text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) {
        // A line cut short is ended by a line break in front of the next one.
        if (n > 0)
            q.cut_short = text[static_cast<size_t>(n) - 1] != '\n';
        *error = failure("cannot write the quarantine manifest", n < 0 ? errno : ENOSPC);
        return false;
    }
    q.cut_short = false;
    if (fsync(q.manifest.get()) != 0) {
        *error = failure("cannot flush the quarantine manifest");
        return false;
    }
    return true;
}
