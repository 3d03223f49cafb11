#include "offline/hives.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "detect/image_rules.h"
#include "offline/hive.h"
#include "offline/registry_fixes.h"

namespace {

const char NOT_CLOSED_CLEANLY[] = "registry hive not closed cleanly (start Windows once and shut it down)";

// The name of the folder holding path: from the path, or, where it says
// nothing ("SAM", "./SAM", "../SAM"), from the folder itself.
std::string folder_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const size_t start = folder.rfind('/') == std::string::npos ? 0 : folder.rfind('/') + 1;
    const std::string name = folder.substr(start);
    if (!name.empty() && name != "." && name != "..")
        return name;
    std::unique_ptr<char, void (*)(void *)> resolved(realpath(folder.empty() ? "/" : folder.c_str(), nullptr), free);
    if (!resolved)
        return "";
    const char *last = strrchr(resolved.get(), '/');
    return last != nullptr ? last + 1 : resolved.get();
}


// Bytes [offset, offset + count) of the memory file fd equal bytes.
bool same_bytes(int fd, uint64_t offset, const char *bytes, size_t count, std::vector<char> &buffer)
{
    buffer.resize(count);
    return pread_exactly(fd, buffer.data(), count, offset) && memcmp(buffer.data(), bytes, count) == 0;
}

// Bytes [from, to) of the memory file source written over fd where they
// differ from the memory file other (other_size bytes): the repaired hive
// over the one read, or back again.
bool copy_range(int source, int other, uint64_t other_size, int fd, uint64_t from, uint64_t to, std::string *error)
{
    std::vector<char> piece(256 << 10), buffer;
    for (uint64_t at = from; at < to;) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(piece.size(), to - at));
        if (!pread_exactly(source, piece.data(), count, at)) {
            *error = failure("cannot read the repaired hive", errno != 0 ? errno : EIO);
            return false;
        }
        const bool differs = at + count > other_size || !same_bytes(other, at, piece.data(), count, buffer);
        if (differs && !pwrite_exactly(fd, piece.data(), count, at)) {
            *error = failure("cannot write");
            return false;
        }
        at += count;
    }
    return true;
}

Action done_action(Kind kind)
{
    return kind == Kind::Share ? Action::Deleted : Action::Repaired;
}

struct HiveRun {
    Output &out;
    const HiveOptions &options;
    const HiveAccess &access;
    std::map<dev_t, std::vector<std::string>> user_keys;  // USR: mappings, by disk
};

bool find_in_hive(HiveRun &run, const MetHive &hive, hive_h *h, std::vector<RegistryFinding> *found,
                  std::string *error)
{
    const bool apply = run.options.clean;
    switch (hive.kind) {
    case HiveKind::Software:
        return fix_software_shell(h, apply, found, &run.user_keys[hive.st.st_dev], error);
    case HiveKind::System:
        return !run.options.unshare || fix_shares(h, apply, found, error);
    case HiveKind::Sam:
        return fix_guest(h, apply, found, error);
    case HiveKind::User:
        return fix_user_shell(h, run.user_keys[hive.st.st_dev], hive.path, apply, found, error);
    case HiveKind::None:
        break;
    }
    return true;
}

// All findings of one hive share its fate: one write makes or fails them all.
void handle_hive(HiveRun &run, const MetHive &hive)
{
    std::string error;
    Hive loaded;
    UniqueFd fd = run.access.open(hive, &error);
    if (!fd || !load_hive(fd.get(), run.options.clean, &loaded, &error)) {
        report(run.out, hive.path, Kind::NotExamined, Action::Skipped, error);
        return;
    }
    fd.reset();
    std::vector<RegistryFinding> found;
    if (!find_in_hive(run, hive, loaded.h.get(), &found, &error)) {
        report(run.out, hive.path, Kind::NotExamined, Action::Skipped, error);
        return;
    }
    // A user hive as large as a worm was counted by the walk, which rated it.
    if (hive.kind != HiveKind::User || hive.st.st_size < WORM_MIN_SIZE)
        ++run.out.totals.examined;
    bool written = false;
    if (run.options.clean && !found.empty()) {
        UniqueFd after;
        uint64_t after_size = 0;
        if (!loaded.closed_cleanly)
            error = NOT_CLOSED_CLEANLY;
        else if (commit_hive(loaded, &after, &after_size, &error))
            written = run.access.write(hive, HiveEdit{loaded.bytes.get(), loaded.size, after.get(), after_size},
                                       &error);
    }
    for (const RegistryFinding &finding : found) {
        Extra extra;
        extra.key = finding.key;
        extra.detail = finding.detail;
        const Action action = !run.options.clean ? Action::Reported
                              : written          ? done_action(finding.kind)
                                                 : Action::Failed;
        report(run.out, hive.path, finding.kind, action, written ? "" : error, extra);
    }
}

}  // namespace

HiveKind hive_named(const std::string &path)
{
    // Asked of every file the walk meets: its name's length alone rules out
    // nearly all, before any comparison. A hive's name is at most 10 bytes:
    // the slash before it is looked for only among the last 11.
    const size_t tail = std::min<size_t>(path.size(), 11);
    const char *slash = static_cast<const char *>(memrchr(path.data() + path.size() - tail, '/', tail));
    if (slash == nullptr && tail < path.size())
        return HiveKind::None;
    const char *name = slash != nullptr ? slash + 1 : path.c_str();
    HiveKind kind = HiveKind::None;
    switch (path.c_str() + path.size() - name) {
    case 10:
        return strcasecmp(name, "NTUSER.DAT") == 0 ? HiveKind::User : HiveKind::None;
    case 8:
        kind = strcasecmp(name, "SOFTWARE") == 0 ? HiveKind::Software : HiveKind::None;
        break;
    case 6:
        kind = strcasecmp(name, "SYSTEM") == 0 ? HiveKind::System : HiveKind::None;
        break;
    case 3:
        kind = strcasecmp(name, "SAM") == 0 ? HiveKind::Sam : HiveKind::None;
        break;
    }
    return kind != HiveKind::None && strcasecmp(folder_name(path).c_str(), "config") == 0 ? kind : HiveKind::None;
}

bool note_hive(std::vector<MetHive> &met, const std::string &path, const struct stat &st, HiveKind kind, int fd)
{
    char magic[4];
    if (pread(fd, magic, sizeof magic, 0) != sizeof magic || memcmp(magic, "regf", sizeof magic) != 0)
        return false;
    met.push_back(MetHive{path, st, kind});
    return kind != HiveKind::User;
}

void handle_hives(Output &out, std::vector<MetHive> &met, const HiveOptions &options, const HiveAccess &access)
{
    HiveRun run{out, options, access, {}};
    std::set<std::pair<dev_t, ino_t>> seen;
    // The machine's hives first: their USR: mappings name the keys to look at in the user hives.
    for (const bool users : {false, true})
        for (const MetHive &hive : met) {
            if ((hive.kind == HiveKind::User) != users || !seen.insert({hive.st.st_dev, hive.st.st_ino}).second)
                continue;
            if (!users || !run.user_keys[hive.st.st_dev].empty())
                handle_hive(run, hive);
        }
    met.clear();
}

bool write_hive(int fd, const HiveEdit &edit, std::string *error)
{
    std::vector<char> buffer;
    uint64_t at = 0;
    bool same = true;
    const bool read = read_pieces(fd, [&](const char *bytes, size_t count) {
        same = at + count <= edit.before_size && same_bytes(edit.before, at, bytes, count, buffer);
        at += count;
        return same;
    });
    if (!same || (read && at != edit.before_size)) {
        *error = "changed while cleaning";
        return false;
    }
    if (!read) {
        *error = failure("cannot read");
        return false;
    }
    // Every block the write needs is had first: a full disk then fails it
    // before anything is written.
    if (!allocate_blocks(fd, std::max(edit.before_size, edit.after_size))) {
        *error = allocation_failure();
        return false;
    }
    // What hivex adds goes at the end: written first, so that a failure there
    // leaves the hive whole (cut back to its length).
    const uint64_t kept = std::min(edit.before_size, edit.after_size);
    if (!copy_range(edit.after, edit.before, edit.before_size, fd, kept, edit.after_size, error)) {
        if (ftruncate(fd, static_cast<off_t>(edit.before_size)) != 0)
            *error += "; " + failure("cannot cut the file back to its length");
        return false;
    }
    // Within the old length only the pieces that differ: the few cells changed
    // in place, the header page (sequence numbers, checksum) last. A failure
    // puts the old bytes back, so the hive is never left half new behind a
    // header that says it was closed cleanly.
    const uint64_t header = std::min<uint64_t>(kept, 4096);
    if (!copy_range(edit.after, edit.before, edit.before_size, fd, header, kept, error) ||
        !copy_range(edit.after, edit.before, edit.before_size, fd, 0, header, error)) {
        std::string undone;
        if (!copy_range(edit.before, edit.after, edit.after_size, fd, 0, kept, &undone) ||
            ftruncate(fd, static_cast<off_t>(edit.before_size)) != 0)
            *error += "; " + (undone.empty() ? failure("cannot cut the file back to its length") : undone) +
                      " while putting the old bytes back";
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(edit.after_size)) != 0) {
        *error = failure("cannot cut the file to its new length");
        return false;
    }
    if (fsync(fd) != 0) {
        *error = failure("cannot flush the change");
        return false;
    }
    return true;
}
