#include "offline/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "offline/quarantine.h"

namespace {

// One change as the manifest describes it.
struct Entry {
    std::string path;
    std::string sha256_before;
    uint64_t size_before = 0;
    mode_t mode = 0;
    struct timespec times[2] = {};  // access, modification: as futimens takes them
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool finished = false;     // its outcome line follows
    bool gone = false;         // the change deleted the file
    std::string sha256_after;  // empty: not known
};

struct Manifest {
    std::vector<Entry> entries;                           // in the order they were recorded
    std::map<std::string, std::vector<size_t>> by_path;  // the entries of each file
    std::set<std::string> putting_back;                   // files whose last put-back did not end
    std::vector<size_t> unreadable;                       // line numbers
};

const nlohmann::json *field(const nlohmann::json &line, const char *name)
{
    const auto found = line.find(name);
    return found == line.end() ? nullptr : &*found;
}

// The name of a kept copy comes from the manifest: nothing but 64 hex digits.
bool is_sha256(const nlohmann::json *value)
{
    if (value == nullptr || !value->is_string())
        return false;
    const std::string &text = value->get_ref<const std::string &>();
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool get_time(const nlohmann::json *value, struct timespec *time)
{
    if (value == nullptr || !value->is_number_integer())
        return false;
    const int64_t ns = value->get<int64_t>();
    time->tv_sec = static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0 ? 1 : 0));
    time->tv_nsec = static_cast<long>((ns % 1000000000 + 1000000000) % 1000000000);
    return true;
}

bool read_change(const nlohmann::json &line, Entry *e)
{
    const nlohmann::json *sha256 = field(line, "sha256_before"), *size = field(line, "size_before"),
                         *mode = field(line, "mode"), *uid = field(line, "uid"), *gid = field(line, "gid");
    const nlohmann::json *action = field(line, "action");
    bool known = false;
    for (Change change : {Change::RestoreHost, Change::DeleteWormCopy, Change::RepairSystemIni, Change::RepairHive})
        known = known || (action->is_string() && *action == change_name(change));
    if (!known || !is_sha256(sha256) || size == nullptr || !size->is_number_unsigned() || mode == nullptr ||
        !mode->is_number_unsigned() || !get_time(field(line, "atime_ns"), &e->times[0]) ||
        !get_time(field(line, "mtime_ns"), &e->times[1]))
        return false;
    e->sha256_before = sha256->get<std::string>();
    e->size_before = size->get<uint64_t>();
    e->mode = static_cast<mode_t>(mode->get<uint64_t>() & 07777);
    if (uid != nullptr && gid != nullptr && uid->is_number_unsigned() && gid->is_number_unsigned()) {
        e->uid = uid->get<uid_t>();
        e->gid = gid->get<gid_t>();
    }
    return true;
}

// The outcome belongs to the newest change of the same file that has none yet.
bool read_outcome(const nlohmann::json &line, const std::string &path, Manifest *m)
{
    const auto changes = m->by_path.find(path);
    if (changes == m->by_path.end())
        return false;
    for (auto i = changes->second.rbegin(); i != changes->second.rend(); ++i) {
        Entry &e = m->entries[*i];
        if (e.finished)
            continue;
        const nlohmann::json *after = field(line, "sha256_after");
        e.finished = true;
        e.gone = after != nullptr && after->is_null();
        if (is_sha256(after))
            e.sha256_after = after->get<std::string>();
        return true;
    }
    return false;
}

void read_line(std::string_view text, size_t number, Manifest *m)
{
    if (text.empty())
        return;
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    std::string path;
    bool readable = !line.is_discarded() && line.is_object() && get_path(line, &path);
    if (readable && line.contains("action")) {
        Entry e;
        readable = read_change(line, &e);
        if (readable) {
            e.path = path;
            m->by_path[path].push_back(m->entries.size());
            m->entries.push_back(e);
        }
    } else if (readable && line.contains("done")) {
        readable = read_outcome(line, path, m);
    } else if (readable && line.contains("undo_begin")) {
        m->putting_back.insert(path);
    } else if (readable && line.contains("undo_end")) {
        m->putting_back.erase(path);
    } else {
        readable = false;
    }
    if (!readable)
        m->unreadable.push_back(number);
}

bool read_manifest(int fd, Manifest *m, std::string *error)
{
    std::string text;
    const bool read = read_pieces(fd, [&](const char *bytes, size_t count) {
        text.append(bytes, count);
        return true;
    });
    if (!read) {
        *error = failure("cannot read manifest.jsonl");
        return false;
    }
    size_t number = 0;
    for (size_t begin = 0; begin < text.size(); ++number) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        read_line(std::string_view(text).substr(begin, end - begin), number + 1, m);
        begin = end + 1;
    }
    return true;
}

// Where the file stands now: absent, or a regular file and the SHA-256 of its bytes.
bool look(const std::string &path, bool *exists, std::string *sha256, std::string *error)
{
    struct stat st;
    *exists = lstat(path.c_str(), &st) == 0;
    if (!*exists && errno == ENOENT)
        return true;
    if (!*exists) {
        *error = failure("cannot examine");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = "no longer a regular file";
        return false;
    }
    UniqueFd fd(open_untouched(AT_FDCWD, path.c_str(), O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    uint64_t size = 0;
    if (!fd) {
        *error = failure("cannot open");
        return false;
    }
    return hash_file(fd.get(), sha256, &size, error);
}

// Mode and times as recorded, all on disk.
bool put_back_mode_and_times(int fd, const Entry &e, std::string *error)
{
    if (fchmod(fd, e.mode) != 0)
        *error = failure("mode not put back");
    else if (futimens(fd, e.times) != 0)
        *error = failure("times not put back");
    else if (fsync(fd) != 0)
        *error = failure("cannot flush");
    return error->empty();
}

// Opened for writing and created when absent, never through a link. A file of
// this user without owner-write gets it until its mode is put back.
UniqueFd open_to_write(const std::string &path, std::string *error)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | flags, 0600));
    if (!fd && errno == EACCES) {
        UniqueFd readable(open_untouched(AT_FDCWD, path.c_str(), flags));
        if (readable && fchmod(readable.get(), S_IRUSR | S_IWUSR) == 0)
            fd.reset(open(path.c_str(), O_WRONLY | flags));
        if (!fd)
            errno = EACCES;
    }
    struct stat st;
    if (!fd) {
        *error = failure("cannot open for writing");
    } else if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "no longer a regular file";
        fd.reset();
    }
    return fd;
}

// A recreated file's name must be on disk before its put-back is recorded as ended.
void sync_folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        fsync(dir.get());
}

// The kept bytes written over the file in place (inode and hard links stay),
// or into a new file when it is gone; then its length, owner when recreated,
// mode and times. Begun and ended by a manifest line: a put-back cut short is
// done again by the next undo, whatever the file then holds.
void put_back(Quarantine &q, Manifest &m, const Entry &e, bool exists, std::string *error)
{
    // A damaged copy is not written over the file.
    const std::string name = e.sha256_before + ".bin";
    UniqueFd copy(openat(q.dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    std::string sha256;
    uint64_t size = 0;
    if (!copy) {
        *error = failure(("cannot open the kept copy " + name).c_str());
        return;
    }
    if (!hash_file(copy.get(), &sha256, &size, error))
        return;
    if (sha256 != e.sha256_before || size != e.size_before) {
        *error = "the kept copy " + name + " is damaged";
        return;
    }
    nlohmann::ordered_json line;
    put_path(line, e.path);
    line["undo_begin"] = e.sha256_before;
    if (!append_line(q, line, error))
        return;
    m.putting_back.insert(e.path);
    UniqueFd file = open_to_write(e.path, error);
    if (!file || !hash_file(copy.get(), &sha256, &size, error, file.get()))
        return;
    if (ftruncate(file.get(), static_cast<off_t>(size)) != 0) {
        *error = failure("cannot cut the file to its length");
        return;
    }
    if (!exists && e.uid != static_cast<uid_t>(-1) && fchown(file.get(), e.uid, e.gid) != 0) {
        *error = failure("owner not put back");
        return;
    }
    if (!put_back_mode_and_times(file.get(), e, error))
        return;
    if (!exists)
        sync_folder_of(e.path);
    nlohmann::ordered_json end;
    put_path(end, e.path);
    end["undo_end"] = e.sha256_before;
    if (append_line(q, end, error))
        m.putting_back.erase(e.path);
}

void undo_change(Quarantine &q, Manifest &m, size_t i, bool force, std::string *error)
{
    const Entry &e = m.entries[i];
    bool exists = false;
    std::string now;
    if (!look(e.path, &exists, &now, error))
        return;
    if (exists && now == e.sha256_before) {
        // The bytes are as before: a change that failed or was stopped before it began, or an
        // undo stopped before it set the mode and times. Whenever the clean or the undo changed
        // anything, the mode or the modification time differs; the access time alone may have
        // been set by someone else's read, which only the owner could put back.
        struct stat st;
        UniqueFd fd(open_untouched(AT_FDCWD, e.path.c_str(), O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!fd || fstat(fd.get(), &st) != 0)
            *error = failure("cannot open");
        else if ((st.st_mode & 07777) != e.mode || st.st_mtim.tv_sec != e.times[1].tv_sec ||
                 st.st_mtim.tv_nsec != e.times[1].tv_nsec)
            put_back_mode_and_times(fd.get(), e, error);
        return;
    }
    // As it was before an older change of the same file: an earlier undo got that far.
    for (size_t older : m.by_path[e.path])
        if (older < i && exists && m.entries[older].sha256_before == now)
            return;
    const bool as_left = e.finished && (e.gone ? !exists : exists && now == e.sha256_after);
    const bool unfinished = !e.finished || (!e.gone && e.sha256_after.empty());
    if (as_left || unfinished || m.putting_back.count(e.path) != 0 || force)
        put_back(q, m, e, exists, error);
    else
        *error = "changed since cleaning";
}

}  // namespace

bool undo_changes(Output &out, const std::string &dir, bool force, std::string *error)
{
    Quarantine q;
    Manifest m;
    if (!open_quarantine(q, dir, true, error) || !read_manifest(q.manifest.get(), &m, error))
        return false;
    for (size_t number : m.unreadable)
        report_undo(out, dir + "/manifest.jsonl", "line " + std::to_string(number) + " cannot be read");
    for (size_t i = m.entries.size(); i-- > 0;) {
        std::string problem;
        undo_change(q, m, i, force, &problem);
        report_undo(out, m.entries[i].path, problem);
    }
    return true;
}
