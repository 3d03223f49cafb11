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
    // Where the file lies (manifests written before these were kept give only the path).
    bool rooted = false;
    std::string root, below;
    dev_t root_dev = 0, dev = 0;
    ino_t root_ino = 0, ino = 0;
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
    std::map<std::string, ino_t> recreated;               // files an undo created anew: their inode
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

// The names below a root: none empty, "." or "..", which would lead elsewhere.
bool plain_names(const std::string &below)
{
    for (size_t begin = 0; begin <= below.size();) {
        size_t end = below.find('/', begin);
        if (end == std::string::npos)
            end = below.size();
        const std::string_view name = std::string_view(below).substr(begin, end - begin);
        if (name.empty() || name == "." || name == "..")
            return false;
        begin = end + 1;
    }
    return true;
}

bool read_change(const nlohmann::json &line, Entry *e)
{
    const nlohmann::json *sha256 = field(line, "sha256_before"), *size = field(line, "size_before"),
                         *mode = field(line, "mode"), *uid = field(line, "uid"), *gid = field(line, "gid");
    const nlohmann::json *action = field(line, "action");
    bool known = false;
    for (Change change : {Change::RestoreHost, Change::DeleteWormCopy, Change::RepairSystemIni, Change::RepairHive,
                          Change::RewriteArchive})
        known = known || (action->is_string() && *action == change_name(change));
    if (!known || !is_sha256(sha256) || size == nullptr || !size->is_number_unsigned() || mode == nullptr ||
        !mode->is_number_unsigned() || !get_time(field(line, "atime_ns"), &e->times[0]) ||
        !get_time(field(line, "mtime_ns"), &e->times[1]))
        return false;
    if (line.contains("root") || line.contains("root_hex")) {
        const nlohmann::json *numbers[] = {field(line, "root_dev"), field(line, "root_ino"), field(line, "dev"),
                                           field(line, "ino")};
        for (const nlohmann::json *number : numbers)
            if (number == nullptr || !number->is_number_unsigned())
                return false;
        if (!get_path(line, &e->root, "root") || !get_path(line, &e->below, "below") || e->root[0] != '/' ||
            !plain_names(e->below))
            return false;
        e->rooted = true;
        e->root_dev = numbers[0]->get<dev_t>();
        e->root_ino = numbers[1]->get<ino_t>();
        e->dev = numbers[2]->get<dev_t>();
        e->ino = numbers[3]->get<ino_t>();
    }
    e->sha256_before = sha256->get<std::string>();
    e->size_before = size->get<uint64_t>();
    // Never set-user-ID, set-group-ID or sticky: a clean only puts back the mode a file had.
    e->mode = static_cast<mode_t>(mode->get<uint64_t>() & 0777);
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
    } else if (readable && line.contains("again")) {
        // The same run changes the file once more (the next worm layer): unfinished until its outcome.
        const auto changes = m->by_path.find(path);
        readable = changes != m->by_path.end();
        if (readable) {
            Entry &e = m->entries[changes->second.back()];
            const nlohmann::json *again = field(line, "again");
            e.finished = e.gone = false;
            e.sha256_after.clear();
            readable = again->is_string();
        }
    } else if (readable && line.contains("undo_begin")) {
        m->putting_back.insert(path);
    } else if (readable && line.contains("undo_end")) {
        m->putting_back.erase(path);
        const nlohmann::json *ino = field(line, "ino");
        if (ino != nullptr && ino->is_number_unsigned())
            m->recreated[path] = ino->get<ino_t>();
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

const char PATH_CHANGED[] = "path changed since cleaning";


// Goes down the first count names from folder, one folder at a time and never
// through a link; with volume, never onto another volume.
bool descend(UniqueFd &folder, const std::vector<std::string> &names, size_t count, const dev_t *volume,
             std::string *error)
{
    for (size_t i = 0; i < count; ++i) {
        UniqueFd next(open_untouched(folder.get(), names[i].c_str(), O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!next) {
            const bool gone = errno == ELOOP || errno == ENOTDIR || errno == ENOENT;
            *error = gone ? PATH_CHANGED : failure("cannot open a folder on the way");
            return false;
        }
        if (volume != nullptr && (fstat(next.get(), &st) != 0 || st.st_dev != *volume)) {
            *error = PATH_CHANGED;
            return false;
        }
        folder = std::move(next);
    }
    return true;
}

// The file of an entry where it stands now: its folder, reached from the
// entry's root (which must still be the folder that was cleaned) without
// leaving the root's volume, or for an older manifest from "/"; then the
// file itself, absent or a regular file.
struct Spot {
    UniqueFd folder;
    std::string name;
    bool exists = false;
    struct stat st = {};
    UniqueFd path;       // the file, O_PATH, when it exists
    UniqueFd fd;         // the file, read-only, when it exists
    std::string sha256;  // of its bytes
};

bool locate(const Entry &e, Spot *spot, std::string *error)
{
    const std::vector<std::string> names = path_names(e.rooted ? e.below : e.path);
    if (names.empty()) {
        *error = PATH_CHANGED;
        return false;
    }
    spot->folder.reset(open_untouched(AT_FDCWD, e.rooted || e.path[0] == '/' ? "/" : ".", O_DIRECTORY | O_CLOEXEC));
    if (!spot->folder) {
        *error = failure("cannot open a folder on the way");
        return false;
    }
    if (e.rooted) {
        struct stat root;
        if (!descend(spot->folder, path_names(e.root), path_names(e.root).size(), nullptr, error))
            return false;
        if (fstat(spot->folder.get(), &root) != 0 || root.st_dev != e.root_dev || root.st_ino != e.root_ino) {
            *error = PATH_CHANGED;
            return false;
        }
    }
    if (!descend(spot->folder, names, names.size() - 1, e.rooted ? &e.root_dev : nullptr, error))
        return false;
    spot->name = names.back();
    // The type is checked through a descriptor that opens nothing (a device put there is never opened).
    spot->path.reset(openat(spot->folder.get(), spot->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    spot->exists = spot->path && fstat(spot->path.get(), &spot->st) == 0;
    if (!spot->exists && errno == ENOENT)
        return true;
    if (!spot->exists) {
        *error = failure("cannot examine");
        return false;
    }
    if (!S_ISREG(spot->st.st_mode) || (e.rooted && spot->st.st_dev != e.dev)) {
        *error = PATH_CHANGED;
        return false;
    }
    spot->fd.reset(reopen_path(spot->path.get(), O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!spot->fd && errno == ENOENT)  // no /proc: by name, checked below
        spot->fd.reset(open_untouched(spot->folder.get(), spot->name.c_str(), O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat now;
    if (!spot->fd) {
        *error = failure("cannot open");
        return false;
    }
    if (fstat(spot->fd.get(), &now) != 0 || now.st_dev != spot->st.st_dev || now.st_ino != spot->st.st_ino) {
        *error = PATH_CHANGED;
        return false;
    }
    uint64_t size = 0;
    return hash_file(spot->fd.get(), &spot->sha256, &size, error);
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

// The file at the spot opened for writing in place: the inode found there,
// or where /proc is missing whatever the name holds, only while it is still
// the same file. A file of this user without owner-write gets it until its
// mode is put back.
UniqueFd open_in_place(const Spot &spot, std::string *error)
{
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const auto open_it = [&] {
        const int fd = reopen_path(spot.path.get(), flags);
        return fd < 0 && errno == ENOENT ? openat(spot.folder.get(), spot.name.c_str(), flags) : fd;
    };
    UniqueFd fd(open_it());
    if (!fd && errno == EACCES && fchmod(spot.fd.get(), S_IRUSR | S_IWUSR) == 0)
        fd.reset(open_it());
    struct stat st;
    if (!fd) {
        *error = failure("cannot open for writing");
    } else if (fstat(fd.get(), &st) != 0 || st.st_dev != spot.st.st_dev || st.st_ino != spot.st.st_ino) {
        *error = PATH_CHANGED;
        fd.reset();
    }
    return fd;
}

// The kept bytes written over the file in place (inode and hard links stay)
// when it is the file that was cleaned, or else into a file created anew
// (whatever is at the path removed first, never written through); then its
// length, owner when created, mode and times. Begun and ended by a manifest
// line: a put-back cut short is done again by the next undo, whatever the
// file then holds.
void put_back(Quarantine &q, Manifest &m, const Entry &e, Spot &spot, bool in_place, std::string *error)
{
    // A damaged copy is not written over the file.
    const std::string name = e.sha256_before + ".bin";
    UniqueFd copy = open_kept(q, name, error);
    std::string sha256;
    uint64_t size = 0;
    if (!copy || !hash_file(copy.get(), &sha256, &size, error))
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
    UniqueFd file;
    if (in_place) {
        file = open_in_place(spot, error);
        if (!file || !hash_file(copy.get(), &sha256, &size, error, file.get(), "cannot write", true))
            return;
        if (ftruncate(file.get(), static_cast<off_t>(size)) != 0) {
            *error = failure("cannot cut the file to its length");
            return;
        }
    } else {
        if (spot.exists && unlinkat(spot.folder.get(), spot.name.c_str(), 0) != 0 && errno != ENOENT) {
            *error = failure("cannot remove the file now at the path");
            return;
        }
        file.reset(openat(spot.folder.get(), spot.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
        if (!file) {
            *error = failure("cannot create the file");
            return;
        }
        if (!hash_file(copy.get(), &sha256, &size, error, file.get()))
            return;
        if (e.uid != static_cast<uid_t>(-1) && fchown(file.get(), e.uid, e.gid) != 0) {
            *error = failure("owner not put back");
            return;
        }
    }
    struct stat st;
    if (!put_back_mode_and_times(file.get(), e, error) || fstat(file.get(), &st) != 0)
        return;
    // A created file's name must be on disk before its put-back is recorded as ended.
    // (A file system that cannot flush a folder answers EINVAL: nothing more can be done there.)
    if (!in_place && fsync(spot.folder.get()) != 0 && errno != EINVAL) {
        *error = failure("cannot flush the folder");
        return;
    }
    nlohmann::ordered_json end;
    put_path(end, e.path);
    end["undo_end"] = e.sha256_before;
    if (!in_place)
        end["ino"] = st.st_ino;
    if (!append_line(q, end, error))
        return;
    m.putting_back.erase(e.path);
    if (!in_place)
        m.recreated[e.path] = st.st_ino;
}

void undo_change(Quarantine &q, Manifest &m, size_t i, bool force, std::string *error)
{
    const Entry &e = m.entries[i];
    Spot spot;
    if (!locate(e, &spot, error))
        return;
    const std::string &now = spot.sha256;
    const bool unfinished = !e.finished || (!e.gone && e.sha256_after.empty());
    const bool resumed = m.putting_back.count(e.path) != 0;
    // The file the clean changed (or one an undo created in its place), else another one put there since.
    const auto made = m.recreated.find(e.path);
    const bool same = spot.exists && (e.rooted ? spot.st.st_ino == e.ino ||
                                                     (made != m.recreated.end() && made->second == spot.st.st_ino)
                                               : now == e.sha256_after || now == e.sha256_before || unfinished);
    if (same && now == e.sha256_before) {
        // The bytes are as before: a change that failed or was stopped before it began, or an
        // undo stopped before it set the mode and times. Whenever the clean or the undo changed
        // anything, the mode or the modification time differs; the access time alone may have
        // been set by someone else's read, which only the owner could put back.
        if ((spot.st.st_mode & 07777) != e.mode || spot.st.st_mtim.tv_sec != e.times[1].tv_sec ||
            spot.st.st_mtim.tv_nsec != e.times[1].tv_nsec)
            put_back_mode_and_times(spot.fd.get(), e, error);
        return;
    }
    // As it was before an older change of the same file: an earlier undo got that far.
    for (size_t older : m.by_path[e.path])
        if (older < i && same && m.entries[older].sha256_before == now)
            return;
    const bool as_left = e.finished && (e.gone ? !spot.exists : same && now == e.sha256_after);
    const bool allowed = !spot.exists || same ? as_left || unfinished || resumed || force : resumed || force;
    if (allowed)
        put_back(q, m, e, spot, same, error);
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
