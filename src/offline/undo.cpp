#include "offline/undo.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "offline/image_scan.h"
#include "offline/interrupt.h"
#include "offline/quarantine.h"

namespace {

// One change as the manifest describes it.
struct Entry {
    std::string path;
    std::string action, time;  // the change's name; when it was recorded (empty: not recorded)
    // Where the file lies (manifests written before these were kept give only the path).
    bool rooted = false;
    std::string root, below;
    dev_t root_dev = 0, dev = 0;
    ino_t root_ino = 0, ino = 0;
    // The root's volume as it survives a new mount (manifests written before, or volumes without a UUID: none).
    bool identified = false;
    std::string fs_type, fs_uuid;
    bool stable_inodes = false;
    std::string sha256_before;
    uint64_t size_before = 0;
    mode_t mode = 0;
    struct timespec times[2] = {};  // access, modification: as futimens takes them
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool finished = false;     // its outcome line follows
    bool gone = false;         // the change deleted the file
    std::string sha256_after;  // empty: not known
    bool sized = false;        // size_after recorded
    uint64_t size_after = 0;
};

// --root OLD=NEW: a recorded root, or a folder above one, is now at NEW.
using Moves = std::vector<std::pair<std::string, std::string>>;

// Whether path is folder or lies below it.
bool is_under(const std::string &path, const std::string &folder)
{
    return folder == "/" ? path[0] == '/'
                         : path.compare(0, folder.size(), folder) == 0 &&
                               (path.size() == folder.size() || path[folder.size()] == '/');
}

// A recorded path where it is now.
std::string moved(const std::string &path, const Moves &moves)
{
    for (const auto &[from, to] : moves)
        if (!path.empty() && is_under(path, from))
            return to + (from == "/" ? path : path.substr(from.size()));
    return path;
}

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

bool read_change(const nlohmann::json &line, const Moves &moves, Entry *e)
{
    const nlohmann::json *sha256 = field(line, "sha256_before"), *size = field(line, "size_before"),
                         *mode = field(line, "mode"), *uid = field(line, "uid"), *gid = field(line, "gid");
    const nlohmann::json *action = field(line, "action");
    bool known = false;
    for (Change change : {Change::RestoreHost, Change::DeleteWormCopy, Change::RepairSystemIni, Change::RepairHive,
                          Change::RewriteArchive})
        known = known || (action->is_string() && *action == change_name(change));
    known = known || (action->is_string() && *action == FORCED_UNDO);
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
        e->root = moved(e->root, moves);
        const nlohmann::json *type = field(line, "fs_type"), *uuid = field(line, "fs_uuid"),
                             *stable = field(line, "stable_inodes");
        if (type != nullptr || uuid != nullptr || stable != nullptr) {
            if (type == nullptr || !type->is_string() || uuid == nullptr || !uuid->is_string() ||
                stable == nullptr || !stable->is_boolean() || uuid->get_ref<const std::string &>().empty())
                return false;
            e->identified = true;
            e->fs_type = type->get<std::string>();
            e->fs_uuid = uuid->get<std::string>();
            e->stable_inodes = stable->get<bool>();
        }
        e->root_dev = numbers[0]->get<dev_t>();
        e->root_ino = numbers[1]->get<ino_t>();
        e->dev = numbers[2]->get<dev_t>();
        e->ino = numbers[3]->get<ino_t>();
    }
    e->action = action->get<std::string>();
    const nlohmann::json *time = field(line, "time");
    if (time != nullptr && time->is_string())
        e->time = time->get<std::string>();
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
        const nlohmann::json *size = field(line, "size_after");
        e.sized = size != nullptr && size->is_number_unsigned();
        if (e.sized)
            e.size_after = size->get<uint64_t>();
        return true;
    }
    return false;
}

void read_line(std::string_view text, size_t number, const Moves &moves, Manifest *m)
{
    if (text.empty())
        return;
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    std::string path;
    bool readable = !line.is_discarded() && line.is_object() && get_path(line, &path);
    path = moved(path, moves);
    if (readable && line.contains("action")) {
        Entry e;
        readable = read_change(line, moves, &e);
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

bool read_manifest(int fd, const Moves &moves, Manifest *m, std::string *error)
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
        read_line(std::string_view(text).substr(begin, end - begin), number + 1, moves, m);
        begin = end + 1;
    }
    return true;
}

const char PATH_CHANGED[] = "path changed since cleaning";
const char ANOTHER_VOLUME[] = "another volume";


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
    dev_t root_dev = 0;    // the root as it is now
    ino_t root_ino = 0;
    bool mounted_again = false;  // the root's volume is the recorded one under another device number
    UniqueFd folder;
    std::string name;
    bool exists = false;
    struct stat st = {};
    UniqueFd path;       // the file, O_PATH, when it exists
    UniqueFd fd;         // the file, read-only, when it exists
    std::string sha256;  // of its bytes
    uint64_t size = 0;
};

// The root folder found at the recorded (or moved) place is the one cleaned:
// the same device and inode; or, for a volume identified at the clean, the
// same file system (type and UUID) under any device number and, where the
// file system keeps them, the same inode.
bool same_root(Quarantine &q, const Entry &e, const struct stat &root, Spot *spot, std::string *error)
{
    spot->root_dev = root.st_dev;
    spot->root_ino = root.st_ino;
    if (!e.identified) {
        if (root.st_dev != e.root_dev || root.st_ino != e.root_ino)
            *error = PATH_CHANGED;
        return error->empty();
    }
    const Volume &now = volume_of(q, root.st_dev);
    // A volume whose source cannot be read (an undo without root's rights) is taken by its device number.
    if (now.uuid.empty() && !now.error.empty()) {
        if (root.st_dev != e.root_dev || root.st_ino != e.root_ino)
            *error = PATH_CHANGED;
        return error->empty();
    }
    // Never one disk's files onto another, --force or not.
    if (now.uuid != e.fs_uuid || now.type != e.fs_type) {
        *error = ANOTHER_VOLUME;
        return false;
    }
    spot->mounted_again = root.st_dev != e.root_dev;
    // Made-up inode numbers change at a new mount, which may keep the device number (a loop device).
    if (e.stable_inodes && root.st_ino != e.root_ino)
        *error = PATH_CHANGED;
    return error->empty();
}

bool locate(Quarantine &q, const Entry &e, Spot *spot, std::string *error)
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
        if (fstat(spot->folder.get(), &root) != 0) {
            *error = failure("cannot open a folder on the way");
            return false;
        }
        if (!same_root(q, e, root, spot, error))
            return false;
    }
    if (!descend(spot->folder, names, names.size() - 1, e.rooted ? &spot->root_dev : nullptr, error))
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
    // The file lies on the root's volume: under its device number now when mounted again.
    const dev_t volume = spot->mounted_again && e.dev == e.root_dev ? spot->root_dev : e.dev;
    if (!S_ISREG(spot->st.st_mode) || (e.rooted && spot->st.st_dev != volume)) {
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
    return hash_file(spot->fd.get(), &spot->sha256, &spot->size, error);
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

// Before a forced put-back: the bytes the file holds now kept in DIR and the
// replacement recorded as a change of its own ("undo"), with the file's mode,
// times and owner, so that --revert-force can put them back.
bool keep_replaced(Quarantine &q, const Entry &e, const Spot &spot, std::string *error)
{
    Place place;
    place.path = e.path;
    if (e.rooted) {
        place.root = e.root;
        place.root_dev = spot.root_dev;
        place.root_ino = spot.root_ino;
        place.below = e.below;
    }
    return record_change(q, place, spot.fd.get(), spot.size, spot.st, FORCED_UNDO, error);
}

// The kept bytes written over the file in place (inode and hard links stay)
// when it is the file that was cleaned, or else into a file created anew
// (whatever is at the path removed first, never written through); then its
// length, owner when created, mode and times. Begun and ended by a manifest
// line: a put-back cut short is done again by the next undo, whatever the
// file then holds. A forced put-back keeps what it replaces first.
void put_back(Quarantine &q, Manifest &m, const Entry &e, Spot &spot, bool in_place, bool forced,
              std::string *error)
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
    if (forced && spot.exists && !keep_replaced(q, e, spot, error))
        return;
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
    if (forced && spot.exists) {
        nlohmann::ordered_json outcome;
        put_path(outcome, e.path);
        outcome["sha256_after"] = e.sha256_before;
        outcome["size_after"] = e.size_before;
        outcome["done"] = true;
        if (!append_line(q, outcome, error))
            return;
    }
    m.putting_back.erase(e.path);
    if (!in_place)
        m.recreated[e.path] = st.st_ino;
}

enum class Outcome { Undone, AsBefore, Failed };

// What --list foresees: the files that an undo would have put back by the
// time it reaches an older change, and the bytes (SHA-256) they would hold.
using Planned = std::map<std::string, std::string>;

Outcome undo_change(Quarantine &q, Manifest &m, size_t i, const UndoOptions &options, Planned &planned,
                    std::string *error)
{
    const Entry &e = m.entries[i];
    Spot spot;
    if (!locate(q, e, &spot, error))
        return Outcome::Failed;
    const auto plan = planned.find(e.path);
    const bool foreseen = plan != planned.end();
    const std::string &now = foreseen ? plan->second : spot.sha256;
    const bool unfinished = !e.finished || (!e.gone && e.sha256_after.empty());
    const bool resumed = m.putting_back.count(e.path) != 0;
    // The file the clean changed (or one an undo created in its place), else another one put there since.
    // Where inode numbers are made up at each mount, the file is recognised by its bytes.
    const bool by_content = !e.rooted || (e.identified && !e.stable_inodes);
    const bool as_after = now == e.sha256_after && (!e.sized || foreseen || spot.size == e.size_after);
    const auto made = m.recreated.find(e.path);
    const bool same = foreseen || (spot.exists && (by_content ? as_after || now == e.sha256_before || unfinished
                                                              : spot.st.st_ino == e.ino ||
                                                                    (made != m.recreated.end() &&
                                                                     made->second == spot.st.st_ino)));
    if (same && now == e.sha256_before) {
        // The bytes are as before: a change that failed or was stopped before it began, or an
        // undo stopped before it set the mode and times. Whenever the clean or the undo changed
        // anything, the mode or the modification time differs; the access time alone may have
        // been set by someone else's read, which only the owner could put back.
        if (foreseen || ((spot.st.st_mode & 07777) == e.mode && spot.st.st_mtim.tv_sec == e.times[1].tv_sec &&
                         spot.st.st_mtim.tv_nsec == e.times[1].tv_nsec))
            return Outcome::AsBefore;
        if (!options.list)
            put_back_mode_and_times(spot.fd.get(), e, error);
        return error->empty() ? Outcome::Undone : Outcome::Failed;
    }
    // As it was before an older change of the same file: an earlier undo got that far. (A forced
    // undo's record is put back apart from the changes of --clean.)
    for (size_t older : m.by_path[e.path])
        if (older < i && same && m.entries[older].sha256_before == now &&
            (m.entries[older].action == FORCED_UNDO) == (e.action == FORCED_UNDO))
            return Outcome::AsBefore;
    const bool as_left = e.finished && (e.gone ? !spot.exists : same && as_after);
    const bool allowed = !spot.exists || same ? as_left || unfinished || resumed : resumed;
    if (!allowed && !options.force) {
        *error = "changed since cleaning";
        return Outcome::Failed;
    }
    if (options.list) {
        planned[e.path] = e.sha256_before;
        return Outcome::Undone;
    }
    // A file changed since cleaning is never written through: it is created anew.
    put_back(q, m, e, spot, same && allowed, !allowed, error);
    return error->empty() ? Outcome::Undone : Outcome::Failed;
}

// A path made absolute and without "." and "..", by its names alone.
std::string plain_path(const std::string &given)
{
    char real[PATH_MAX];
    std::string path;
    if (given[0] != '/' && getcwd(real, sizeof real) != nullptr)
        path = real;
    std::vector<std::string> names = path_names(path);
    for (const std::string &name : path_names(given))
        if (name == ".." && !names.empty())
            names.pop_back();
        else if (name != "." && name != "..")
            names.push_back(name);
    path.clear();
    for (const std::string &name : names)
        path += "/" + name;
    return path.empty() ? "/" : path;
}

// A PATH given to --undo or --list as the manifest names files: absolute,
// without symbolic links where it exists.
std::string manifest_path(const std::string &given)
{
    char real[PATH_MAX];
    return realpath(given.c_str(), real) != nullptr ? real : plain_path(given);
}

bool read_moves(const std::vector<std::string> &roots, Moves *moves, std::string *error)
{
    for (const std::string &root : roots) {
        const size_t equals = root.find('=');
        char real[PATH_MAX];
        if (equals == std::string::npos || equals == 0 || root[0] != '/') {
            *error = "--root " + root + ": not OLD=NEW with an absolute OLD";
            return false;
        }
        const std::string to = root.substr(equals + 1);
        if (realpath(to.c_str(), real) == nullptr) {
            *error = failure(("--root " + root + ": " + to).c_str());
            return false;
        }
        // OLD as recorded, whatever is at that place now.
        moves->emplace_back(plain_path(root.substr(0, equals)), real);
    }
    return true;
}

}  // namespace

bool undo_changes(Output &out, const std::string &dir, const UndoOptions &options, std::string *error)
{
    Quarantine q;
    Manifest m;
    Moves moves;
    if (!read_moves(options.roots, &moves, error) || !open_quarantine(q, dir, true, error))
        return false;
    // Changes made inside disk images: their volumes attached again, each now at a folder of its own.
    ImagesAttached images;
    std::vector<std::string> image_roots;
    std::string text;
    if (read_pieces(q.manifest.get(), [&text](const char *bytes, size_t count) {
            text.append(bytes, count);
            return true;
        }) && text.find("\"image\"") != std::string::npos)
        attach_manifest_images(out, text, !options.list, &images, &image_roots);
    if (!read_moves(image_roots, &moves, error) || !read_manifest(q.manifest.get(), moves, &m, error))
        return false;
    for (size_t number : m.unreadable)
        report_undo(out, dir + "/manifest.jsonl", "line " + std::to_string(number) + " cannot be read");
    std::vector<std::string> paths;
    std::vector<bool> matched(options.paths.size());
    for (const std::string &path : options.paths)
        paths.push_back(manifest_path(path));
    // Undo puts back the changes of --clean; --revert-force what forced undos replaced. --list
    // foresees each apart.
    Planned planned[2];
    for (size_t i = m.entries.size(); i-- > 0 && !interrupted();) {
        const Entry &e = m.entries[i];
        bool wanted = paths.empty();
        for (size_t p = 0; p < paths.size(); ++p)
            if (is_under(e.path, paths[p]))
                wanted = matched[p] = true;
        const bool reverts = e.action == FORCED_UNDO;
        if (!wanted || (!options.list && reverts != options.revert_force))
            continue;
        std::string problem;
        Outcome outcome;
        {
            // A put-back is finished whatever signal comes: the loop stops before the next.
            const SignalsHeld held;
            outcome = undo_change(q, m, i, options, planned[reverts], &problem);
        }
        if (options.list)
            report_listed(out, e.path, e.time, e.action, problem, outcome == Outcome::AsBefore);
        else
            report_undo(out, e.path, problem, outcome == Outcome::AsBefore);
    }
    for (size_t p = 0; p < paths.size() && !interrupted(); ++p)
        if (!matched[p] && options.list)
            warn(out, paths[p], "no change recorded for it");
        else if (!matched[p])
            report_undo(out, paths[p], "no change recorded for it");
    return true;
}
