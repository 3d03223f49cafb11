#include "offline/report.h"

#include <errno.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "offline/interrupt.h"

namespace {

// Indexed by Kind: the JSON name and the human text.
const char *const KIND_NAMES[][2] = {
    {"infected", "infected program (PE_VESKA.A)"},
    {"worm-copy", "worm copy (PE_VESKA.A-O)"},
    {"system-ini", "worm loader in the shell entry of [boot]"},
    {"not-examined", "not examined"},
    {"shell-entry", "worm loader in the shell entry"},
    {"share", "network share"},
    {"guest", "Guest account"},
};

// Indexed by Action.
const char *const ACTION_NAMES[] = {"restored", "deleted", "repaired", "reported", "failed", "skipped"};

const char *kind_name(Kind kind)
{
    return KIND_NAMES[static_cast<int>(kind)][0];
}

const char *kind_text(Kind kind)
{
    return KIND_NAMES[static_cast<int>(kind)][1];
}

const char *action_name(Action action)
{
    return ACTION_NAMES[static_cast<int>(action)];
}

void count(Totals &t, Kind kind, Action action)
{
    switch (kind) {
    case Kind::Infected: ++t.infected; break;
    case Kind::WormCopy: ++t.worm_copies; break;
    case Kind::SystemIni: ++t.system_ini; break;
    case Kind::NotExamined: ++t.not_examined; break;
    case Kind::ShellEntry: ++t.shell_entries; break;
    case Kind::Share: ++t.shares; break;
    case Kind::Guest: ++t.guest; break;
    }
    switch (action) {
    case Action::Restored: ++t.restored; break;
    case Action::Deleted: ++t.deleted; break;
    case Action::Repaired: ++t.repaired; break;
    case Action::Failed: ++t.failed; break;
    case Action::Reported:
    case Action::Skipped: break;
    }
}

// A name may hold any byte but "/" and NUL, and a library's message may quote
// one: control characters (C0, DEL, and C1 as UTF-8 writes them) would break the
// one-line-per-finding layout of the human output or drive the terminal (JSON
// escapes them itself).
std::string printable(const std::string &text)
{
    std::string shown;
    shown.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            shown += '?';
            ++i;
        } else {
            shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
        }
    }
    return shown;
}

// A reader that went away (head -1) ends the run before the next file.
void flush_output()
{
    if (fflush(stdout) != 0 && errno == EPIPE)
        note_output_closed();
}

void write_json(const nlohmann::ordered_json &object)
{
    const std::string line = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    flush_output();
}

// A path whose bytes are not UTF-8 (a JSON string cannot carry them) is also
// given as path_hex, as the quarantine's manifest gives it.
void put_path(nlohmann::ordered_json &object, const std::string &path)
{
    object["path"] = path;
    try {
        (void)object["path"].dump();
    } catch (const nlohmann::json::type_error &) {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned char c : path) {
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        object["path_hex"] = hex;
    }
}

// The volume of an attached image that path lies on, and the path inside it.
const ImageName *in_image(const Output &out, const std::string &path, std::string *inside)
{
    for (const ImageName &image : out.images) {
        const std::string &folder = image.folder;
        if (path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/')) {
            *inside = path.size() > folder.size() ? path.substr(folder.size() + 1) : "";
            return &image;
        }
    }
    return nullptr;
}

}  // namespace

// On an image's volume (no partition for an image without a partition table).
std::string shown_path(const Output &out, const std::string &path)
{
    std::string inside;
    const ImageName *image = in_image(out, path, &inside);
    if (image == nullptr)
        return printable(path);
    std::string shown = printable(image->image);
    if (image->partition != 0)
        shown += " \u00bb " + std::to_string(image->partition);
    if (!inside.empty())
        shown += " \u00bb " + printable(inside);
    return shown;
}

namespace {

// In JSON the image and the partition are fields of their own, the path the one inside.
void put_place(const Output &out, nlohmann::ordered_json &object, const std::string &path)
{
    std::string inside;
    const ImageName *image = in_image(out, path, &inside);
    if (image == nullptr) {
        put_path(object, path);
        return;
    }
    object["image"] = image->image;
    object["partition"] = image->partition != 0 ? nlohmann::ordered_json(image->partition) : nlohmann::ordered_json();
    put_path(object, inside);
}

// "1 archive", "2 archives".
std::string counted(uint64_t n, const char *what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

uint64_t found(const Totals &t)
{
    return t.infected + t.worm_copies + t.system_ini + t.shell_entries + t.shares + t.guest;
}

void report(Output &out, const std::string &path, Kind kind, Action action, const std::string &error,
            const Extra &extra)
{
    clear_progress(out);
    count(out.totals, kind, action);
    if (out.json) {
        nlohmann::ordered_json object;
        put_place(out, object, path);
        if (!extra.member.empty())
            object["member"] = extra.member;
        object["kind"] = kind_name(kind);
        object["action"] = action_name(action);
        if (action == Action::Failed || action == Action::Skipped)
            object["error"] = error;
        else if (!error.empty())
            object["note"] = error;
        if (!extra.key.empty())
            object["key"] = extra.key;
        if (!extra.detail.empty())
            object["detail"] = extra.detail;
        if (extra.links > 1)
            object["links"] = extra.links;
        write_json(object);
    }
    // Members are named after their archive: PATH » MEMBER » MEMBER; registry
    // values after their hive: PATH » KEY.
    std::string where = shown_path(out, path);
    for (const std::string &member : extra.member)
        where += " \u00bb " + printable(member);
    if (!extra.key.empty())
        where += " \u00bb " + printable(extra.key);
    const std::string what = kind_text(kind) + (extra.detail.empty() ? "" : " (" + printable(extra.detail) + ")");
    if (kind == Kind::NotExamined) {
        fprintf(stderr, "veskacure-offline: %s: %s\n", where.c_str(), printable(error).c_str());
    } else if (!out.json) {
        const std::string done = action == Action::Reported
                                     ? "report only" + (error.empty() ? "" : " (" + printable(error) + ")")
                                 : action == Action::Failed ? "failed: " + printable(error)
                                                            : action_name(action);
        // Deleting one name of a file with several leaves the file under the others.
        const std::string links = extra.links < 2 ? ""
                                  : " (one of " + std::to_string(extra.links) + " links" +
                                        (action == Action::Deleted ? ": its other names remain)" : ")");
        printf("%s: %s: %s%s\n", where.c_str(), what.c_str(), done.c_str(), links.c_str());
        flush_output();
    }
}

void report_undo(Output &out, const std::string &path, const std::string &error, bool as_before)
{
    clear_progress(out);
    ++(!error.empty() ? out.totals.failed : as_before ? out.totals.as_before : out.totals.undone);
    if (out.json) {
        nlohmann::ordered_json object;
        put_place(out, object, path);
        object["action"] = !error.empty() ? "failed" : as_before ? "already-as-before" : "undone";
        if (!error.empty())
            object["error"] = error;
        write_json(object);
    } else if (!error.empty()) {
        printf("%s: not undone: %s\n", shown_path(out, path).c_str(), printable(error).c_str());
    } else {
        printf("%s: %s\n", shown_path(out, path).c_str(), as_before ? "already as before" : "undone");
    }
    fflush(stdout);
}

void report_listed(Output &out, const std::string &path, const std::string &time, const std::string &action,
                   const std::string &error, bool as_before)
{
    ++(!error.empty() ? out.totals.failed : as_before ? out.totals.as_before : out.totals.undone);
    if (out.json) {
        nlohmann::ordered_json object;
        put_place(out, object, path);
        object["time"] = time.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(time);
        object["action"] = action;
        object["undo"] = !error.empty() ? "failed" : as_before ? "already-as-before" : "undone";
        if (!error.empty())
            object["error"] = error;
        write_json(object);
    } else {
        const std::string undo = !error.empty() ? "would not be undone: " + printable(error)
                                 : as_before    ? "already as before"
                                                : "would be undone";
        printf("%s %s %s: %s\n", time.empty() ? "-" : printable(time).c_str(), printable(action).c_str(),
               shown_path(out, path).c_str(), undo.c_str());
    }
    fflush(stdout);
}

void warn(Output &out, const std::string &path, const std::string &text)
{
    clear_progress(out);
    fprintf(stderr, "veskacure-offline: %s: %s\n", shown_path(out, path).c_str(), printable(text).c_str());
}

void show_progress(Output &out, const std::string &folder)
{
    if (!out.progress)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - out.progress_at < std::chrono::milliseconds(250))
        return;
    out.progress_at = now;
    const Totals &t = out.totals;
    std::string line = std::to_string(t.files) + " files seen, " +
                       std::to_string(found(t)) + " found: " + shown_path(out, folder);
    // One terminal row: a wrapped line could not be redrawn in place.
    struct winsize size = {};
    const size_t width = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
    if (line.size() > width - 1)
        line.resize(width - 1);
    fprintf(stderr, "\r\033[K%s", line.c_str());
    fflush(stderr);
    out.progress_shown = true;
}

void clear_progress(Output &out)
{
    if (!out.progress_shown)
        return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    out.progress_shown = false;
}

bool print_summary(Output &out)
{
    clear_progress(out);
    const Totals &t = out.totals;
    if (out.json) {
        nlohmann::ordered_json counts;
        if (out.list) {
            counts["changes"] = t.undone + t.as_before + t.failed;
            counts["would_undo"] = t.undone;
            counts["as_before"] = t.as_before;
            counts["would_fail"] = t.failed;
        } else if (out.undo) {
            counts["undone"] = t.undone;
            counts["as_before"] = t.as_before;
        } else {
            counts["files"] = t.files;
            counts["examined"] = t.examined;
            counts["archives"] = t.archives;
            counts["members"] = t.members;
            counts["infected"] = t.infected;
            counts["worm_copies"] = t.worm_copies;
            counts["system_ini"] = t.system_ini;
            counts["shell_entries"] = t.shell_entries;
            counts["shares"] = t.shares;
            counts["guest"] = t.guest;
            counts["restored"] = t.restored;
            counts["deleted"] = t.deleted;
            counts["repaired"] = t.repaired;
        }
        if (!out.list)
            counts["failed"] = t.failed;
        if (!out.undo)
            counts["not_examined"] = t.not_examined;
        nlohmann::ordered_json summary;
        summary["summary"] = counts;
        summary["version"] = out.version;
        write_json(summary);
    } else if (out.list) {
        printf("%llu changes: %llu to undo, %llu already as before, %llu not to be undone\n",
               static_cast<unsigned long long>(t.undone + t.as_before + t.failed),
               static_cast<unsigned long long>(t.undone), static_cast<unsigned long long>(t.as_before),
               static_cast<unsigned long long>(t.failed));
    } else if (out.undo) {
        printf("%llu undone, %llu already as before, %llu failed\n", static_cast<unsigned long long>(t.undone),
               static_cast<unsigned long long>(t.as_before), static_cast<unsigned long long>(t.failed));
    } else {
        // Archive counts only where archives were met: a plain tree keeps its short line.
        const std::string archives = t.archives == 0 ? ""
                                     : " (" + counted(t.archives, "archive") + ", " +
                                           counted(t.members, "member") + ")";
        printf("%llu files seen, %llu examined%s, %llu found, %llu restored, %llu deleted, %llu repaired, "
               "%llu failed, %llu not examined\n",
               static_cast<unsigned long long>(t.files), static_cast<unsigned long long>(t.examined),
               archives.c_str(),
               static_cast<unsigned long long>(found(t)),
               static_cast<unsigned long long>(t.restored), static_cast<unsigned long long>(t.deleted),
               static_cast<unsigned long long>(t.repaired), static_cast<unsigned long long>(t.failed),
               static_cast<unsigned long long>(t.not_examined));
    }
    return fflush(stdout) == 0 && !ferror(stdout);
}
