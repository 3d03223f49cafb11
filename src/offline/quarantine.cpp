#include "offline/quarantine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

#include <openssl/evp.h>

namespace {

const char *const CHANGE_NAMES[] = {"restore", "delete", "repair", "repair-hive"};
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

bool write_all(int fd, const char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int64_t nanoseconds(const struct timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The bytes of fd copied to a temporary file in DIR, then, on disk, renamed to
// <sha256>.bin, unless a copy of the same bytes is there already.
bool keep_copy(Quarantine &q, int fd, std::string *sha256, uint64_t *size, std::string *error)
{
    const char *what = "cannot keep a copy in the quarantine";
    // Unique among the runs sharing DIR, and apart from what a killed run left.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string part =
        std::to_string(getpid()) + "-" + std::to_string(nanoseconds(now)) + "-" + std::to_string(++q.copies) + ".part";
    UniqueFd copy(openat(q.dir.get(), part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400));
    if (!copy) {
        *error = failure(what);
        return false;
    }
    bool kept = hash_file(fd, sha256, size, error, copy.get(), what);
    const std::string name = *sha256 + ".bin";
    struct stat there;
    const bool have = kept && fstatat(q.dir.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(there.st_mode) && static_cast<uint64_t>(there.st_size) == *size;
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

}  // namespace

const char *change_name(Change change)
{
    return CHANGE_NAMES[static_cast<int>(change)];
}

bool open_quarantine(Quarantine &q, const std::string &dir, bool for_undo, std::string *error)
{
    const bool made = !for_undo && mkdir(dir.c_str(), 0700) == 0;
    q.dir.reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!q.dir || fstat(q.dir.get(), &q.dir_st) != 0) {
        *error = failure("cannot open the quarantine folder");
        return false;
    }
    const int create = for_undo ? 0 : O_CREAT;
    q.manifest.reset(openat(q.dir.get(), MANIFEST, O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC | create, 0600));
    struct stat st;
    if (!q.manifest || fstat(q.manifest.get(), &st) != 0) {
        *error = failure("cannot open manifest.jsonl");
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

bool hash_file(int fd, std::string *sha256, uint64_t *size, std::string *error, int copy_to,
               const char *cannot_write)
{
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        *error = "cannot compute SHA-256";
        return false;
    }
    bool written = true;
    *size = 0;
    const bool read = read_pieces(fd, [&](const char *bytes, size_t count) {
        written = copy_to < 0 || write_all(copy_to, bytes, count);
        if (written) {
            EVP_DigestUpdate(context.get(), bytes, count);
            *size += count;
        }
        return written;
    });
    if (!read) {
        *error = failure(written ? "cannot read" : cannot_write);
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    *sha256 = to_hex(std::string(reinterpret_cast<char *>(digest), length));
    return true;
}

bool record_change(Quarantine &q, const std::string &path, int fd, uint64_t size, const struct stat &st,
                   Change change, std::string *error)
{
    std::string sha256;
    uint64_t kept_size = 0;
    if (!keep_copy(q, fd, &sha256, &kept_size, error))
        return false;
    if (kept_size != size) {
        *error = "changed while being copied to the quarantine";
        return false;
    }
    nlohmann::ordered_json line;
    put_path(line, path);
    line["sha256_before"] = sha256;
    line["size_before"] = size;
    line["mode"] = st.st_mode & 07777;
    line["mtime_ns"] = nanoseconds(st.st_mtim);
    line["atime_ns"] = nanoseconds(st.st_atim);
    line["action"] = change_name(change);
    // A deleted file is recreated with its owner.
    line["uid"] = st.st_uid;
    line["gid"] = st.st_gid;
    return append_line(q, line, error);
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
    else if (hash_file(fd, &sha256, &size, &unread))
        line["sha256_after"] = sha256;
    // Without sha256_after, --undo takes the change for one that never completed.
    line["done"] = done;
    if (!done)
        line["error"] = change_error;
    return append_line(q, line, error);
}

void put_path(nlohmann::ordered_json &line, const std::string &path)
{
    line["path"] = path;
    try {
        (void)line["path"].dump();
    } catch (const nlohmann::json::type_error &) {
        line["path_hex"] = to_hex(path);
    }
}

bool get_path(const nlohmann::json &line, std::string *path)
{
    const auto hex = line.find("path_hex");
    if (hex == line.end()) {
        const auto text = line.find("path");
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
