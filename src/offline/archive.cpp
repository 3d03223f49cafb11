#include "offline/archive.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "detect/image_rules.h"
#include "offline/archive_read.h"
#include "offline/archive_rewrite.h"
#include "offline/examine.h"
#include "offline/posix_file.h"

namespace {

const char *const COMPRESSION_EXTENSIONS[] = {".gz", ".bz2", ".xz"};

bool ends_with(const std::string &name, const char *extension)
{
    const size_t n = strlen(extension);
    return name.size() > n && strcasecmp(name.c_str() + name.size() - n, extension) == 0;
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A single compressed program is named after its file without the compression's extension.
std::string uncompressed_name(const std::string &name)
{
    for (const char *extension : COMPRESSION_EXTENSIONS)
        if (ends_with(name, extension))
            return name.substr(0, name.size() - strlen(extension));
    return name;
}

// Four bytes as one word, the same on any machine.
constexpr uint32_t word(const char *four)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(four[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(four[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(four[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(four[3])) << 24;
}

constexpr uint32_t ARCHIVE_EXTENSIONS[] = {word(".zip"), word(".iso"), word(".cab"), word(".7z"),  word(".rar"),
                                           word(".tar"), word(".tgz"), word(".gz"),  word(".bz2"), word(".xz"),
                                           word(".lzh"), word(".lha"), word(".arj"), word(".img")};

// The last characters of those extensions, either case, as a set of bytes.
struct ByteSet {
    uint64_t bits[4];
};

constexpr ByteSet last_characters()
{
    ByteSet set = {};
    for (const uint32_t extension : ARCHIVE_EXTENSIONS) {
        const uint32_t last = extension >> 24 != 0 ? extension >> 24 : extension >> 16 & 0xFF;
        const uint32_t capital = last >= 'a' && last <= 'z' ? last - 'a' + 'A' : last;
        for (const uint32_t c : {last, capital})
            set.bits[c >> 6] |= uint64_t{1} << (c & 63);
    }
    return set;
}

constexpr ByteSet LAST_CHARACTERS = last_characters();

// Asked of every file the walk meets: its last character rules out most
// names; each extension is a dot and at most three characters, compared as
// one word of four bytes (the shorter with their NUL), its capitals made small.
bool named_like_archive(const char *name, size_t whole)
{
    const uint8_t last = whole > 0 ? static_cast<uint8_t>(name[whole - 1]) : 0;
    if ((LAST_CHARACTERS.bits[last >> 6] >> (last & 63) & 1) == 0)
        return false;
    // The last dot, looked for only where such an extension's would be.
    const char *dot = nullptr;
    for (size_t back = 2; back <= 4 && back <= whole && dot == nullptr; ++back)
        dot = name[whole - back] == '.' ? name + whole - back : nullptr;
    // (A name ending in a dot was ruled out by its last character.)
    if (dot == nullptr || dot == name)
        return false;
    const size_t length = static_cast<size_t>(name + whole - dot);
    uint32_t key = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t c = static_cast<uint8_t>(dot[i]);
        key |= static_cast<uint32_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) << (8 * i);
    }
    return std::find(std::begin(ARCHIVE_EXTENSIONS), std::end(ARCHIVE_EXTENSIONS), key) != std::end(ARCHIVE_EXTENSIONS);
}

bool named_like_archive(const char *name)
{
    return named_like_archive(name, strlen(name));
}

bool named_like_archive(const std::string &name)
{
    return named_like_archive(name.c_str());
}

// Where libarchive looks for an archive in a file.
enum class Look {
    Nowhere,   // not an archive
    Start,     // from its first byte on, every format
    Appended,  // from the end of a program's image on, where its first bytes were recognised
    ZipEnd,    // a ZIP known by its end record, the file's last bytes (a self-extractor)
};

// ISO 9660's volume descriptors, the only signature of a format not at its
// start, lie from 32 KiB on: libarchive looks there in the first 48 KiB.
const size_t ISO_SPAN_START = 32 << 10, ISO_SPAN_END = 48 << 10;

// The bytes that tell the formats known by their first bytes, *count of
// them: the head. An ISO 9660 image is a whole number of 2 KiB sectors: for a
// file that is, the first 48 KiB, the volume descriptors read as well and the
// system area before them (no format's signature) left zero.
const uint8_t *starting_bytes(const ArchiveFile &file, const FileHead &head, size_t *count)
{
    static std::vector<uint8_t> bytes(ISO_SPAN_END);
    *count = head.length;
    if (file.size % 2048 != 0 || file.size <= ISO_SPAN_START)
        return head.buffer.data();
    *count = static_cast<size_t>(std::min<uint64_t>(file.size, ISO_SPAN_END));
    const size_t have = std::min(head.length, *count);
    memcpy(bytes.data(), head.buffer.data(), have);
    memset(bytes.data() + have, 0, ISO_SPAN_END - have);
    const size_t from = std::max(have, ISO_SPAN_START);
    // A file that cannot be read here keeps zeros: the full detection says why.
    if (from < *count)
        (void)pread_exactly(file.fd, bytes.data() + from, *count - from, from);
    return bytes.data();
}

// A ZIP's end record lies in its last 22 + 65,535 bytes (the record and the
// longest comment). Where its signature is nowhere there, no ZIP is known by
// its end, and no reader is made to search for one: a program's appended data
// (an installer's) are mostly no ZIP.
const size_t ZIP_END_SPAN = 22 + 65535;

bool may_end_like_zip(const ArchiveFile &file)
{
    static std::vector<uint8_t> tail(ZIP_END_SPAN);
    const size_t count = static_cast<size_t>(std::min<uint64_t>(file.size, ZIP_END_SPAN));
    // A file that cannot be read here is left to the full detection, which says why.
    if (!pread_exactly(file.fd, tail.data(), count, file.size - count))
        return true;
    // Each 'P' found with memchr, which goes through random bytes many times
    // faster than memmem.
    for (const uint8_t *at = tail.data(), *end = tail.data() + count;
         (at = static_cast<const uint8_t *>(memchr(at, 'P', static_cast<size_t>(end - at)))) != nullptr; ++at)
        if (end - at >= 4 && memcmp(at, "PK\x05\x06", 4) == 0)
            return true;
    return false;
}

// Where the program in the open file fd of size bytes ends: its headers in
// head, what lies past it (its string table's length) read from the file.
Program image_end_of(int fd, uint64_t size, const FileHead &head, uint64_t *end)
{
    const ReadAt read_at = [fd](uint64_t offset, uint8_t *bytes) { return pread_exactly(fd, bytes, 4, offset); };
    return program_image_end(head.buffer.data(), head.length, size, read_at, end);
}

// Decides on a file not named like an archive, from its first bytes, at the
// cost of a look at bytes in memory: a program's appended archive where its
// image ends (or, for a ZIP, by its end record); anything else from its start
// when libarchive knows its first bytes. The bytes are those the rules read,
// read on only as far as a program's headers go.
Look where_to_look(const ArchiveFile &file, uint64_t *start)
{
    static FileHead own;
    FileHead &head = file.head != nullptr ? *file.head : own;
    std::string error;
    *start = 0;
    if (file.head == nullptr)
        own.length = 0;
    // A file that cannot be read here is left to the full detection, which says why.
    if (!read_head_to(file.fd, file.size, FILE_HEAD_FIRST, &head, &error))
        return Look::Start;
    uint64_t end = 0;
    // A program's headers lie in the bytes the rules read (its first page, or
    // the rules' whole head): headers past them are no program's that Windows
    // would load.
    if (image_end_of(file.fd, file.size, head, &end) != Program::ImageEnds) {
        size_t count = 0;
        const uint8_t *bytes = starting_bytes(file, head, &count);
        return recognised_at_start(bytes, count, false) ? Look::Start : Look::Nowhere;
    }
    if (file.size < end + MIN_APPENDED)
        return Look::Nowhere;
    // The first bytes after the image, as many as tell any format known by them.
    const size_t count = static_cast<size_t>(std::min<uint64_t>(file.size - end, FILE_HEAD_FIRST));
    static std::vector<uint8_t> appended(FILE_HEAD_FIRST);
    const uint8_t *bytes = head.buffer.data() + end;
    if (end + count > head.length) {
        if (!pread_exactly(file.fd, appended.data(), count, end))
            return Look::Start;
        bytes = appended.data();
    }
    *start = end;
    if (recognised_at_start(bytes, count, true))
        return Look::Appended;
    return may_end_like_zip(file) ? Look::ZipEnd : Look::Nowhere;
}

// A finding or an item not examined, met inside the archive.
struct Item {
    std::vector<std::string> member;  // names from the outermost archive in
    EntryPath at;
    Kind kind;
    std::string error;    // not examined: why
    std::string blocker;  // the outermost archive on the way that is not rewritten
};

// The examination of one file on disk and everything nested in it.
struct Walk {
    Output *progress = nullptr;  // for the progress line
    const std::string *path = nullptr;
    Budget budget;
    std::vector<std::string> names;
    EntryPath at;
    std::vector<std::string> blockers;  // per open archive: its format when it is not rewritten, else ""
    std::vector<Item> items;
    bool keep_names = false;          // --clean: the rewrite is checked against them
    std::vector<NameKey> top_names;  // every entry of the outermost archive, in order
    ArchiveEnds ends;                 // of the archives that hold items
    bool zip = false;                 // the outermost archive is a ZIP
    NameKey first;                    // its first entry
    uint64_t archives = 0, members = 0, examined = 0;
    bool full = false;  // MAX_ITEMS reached: the file is examined no further
};

// What one file on disk may hold in findings and items not examined, and how
// much of a member's name each keeps: a crafted archive cannot fill memory.
const size_t MAX_ITEMS = 10000;

void note(Walk &w, Kind kind, const std::string &error = "")
{
    if (w.full)
        return;
    std::string blocker;
    for (const std::string &b : w.blockers)
        if (blocker.empty())
            blocker = b;
    if (w.items.size() == MAX_ITEMS) {
        w.full = true;
        w.items.push_back(Item{{}, {}, Kind::NotExamined, "more than 10,000 findings and items not examined: the rest "
                                                           "not examined", ""});
        return;
    }
    std::vector<std::string> member;
    for (const std::string &name : w.names)
        member.push_back(shortened(name));
    w.items.push_back(Item{std::move(member), w.at, kind, error, blocker});
}

void note_damage(Walk &w, const std::string &error)
{
    // Once the budget is spent every archive fails: that is said once, for the file.
    if (!w.budget.exceeded)
        note(w, Kind::NotExamined, "damaged archive: " + error);
}

void walk_archive(Walk &w, Source &src, struct archive *a, bool single, const std::string &single_name);

// Opens the member being read as an archive of its own. Answers false when the
// archive around it can no longer be read.
bool examine_nested(Walk &w, struct archive *outer, MemberHead &head)
{
    Source nested;
    nested.outer = outer;
    nested.budget = &w.budget;
    nested.prefix = std::move(head.bytes);
    nested.start = nested.prefix.substr(0, 4);
    ArchiveReader reader(nullptr, archive_read_free);
    std::string error;
    const Opened opened = open_archive(nested, &reader, &error);
    if (!nested.outer_error.empty()) {
        note_damage(w, nested.outer_error);
        return false;
    }
    if (opened == Opened::NotArchive)
        return true;
    if (w.blockers.size() >= static_cast<size_t>(MAX_DEPTH)) {
        note(w, Kind::NotExamined, "nesting deeper than 8 archives");
        return true;
    }
    if (opened == Opened::Damaged) {
        note_damage(w, error);
        return true;
    }
    walk_archive(w, nested, reader.get(), opened == Opened::Compressed, uncompressed_name(base_name(w.names.back())));
    // The outer archive failed under the nested one: said there, with its reason.
    return nested.outer_error.empty();
}

// A member stated smaller than the smallest worm cannot carry it, unless it
// is an archive (compressed, it may): one that cannot be read is no loss.
bool harmless(struct archive_entry *entry, const std::string &name)
{
    return archive_entry_size_is_set(entry) != 0 && archive_entry_size(entry) >= 0 &&
           static_cast<uint64_t>(archive_entry_size(entry)) < WORM_MIN_SIZE && !named_like_archive(name);
}

// Rates the current member and looks inside it. Answers false when the
// archive can no longer be read.

bool examine_member(Walk &w, struct archive *a, struct archive_entry *entry)
{
    if (archive_entry_is_data_encrypted(entry)) {
        if (!harmless(entry, base_name(w.names.back())))
            note(w, Kind::NotExamined, "encrypted member");
        return true;
    }
    MemberHead head;
    std::string error;
    const ReadResult r = read_head(a, entry, w.budget, &head, &error);
    if (r == ReadResult::Failed) {
        if (!harmless(entry, base_name(w.names.back())))
            note(w, Kind::NotExamined, "cannot be read: " + error);
        return true;
    }
    if (r == ReadResult::Fatal) {
        note_damage(w, error);
        return false;
    }
    ++w.examined;
    const ScanVerdict verdict = rate_head(head);
    if (verdict == Infected || verdict == WormCopy) {
        note(w, verdict == Infected ? Kind::Infected : Kind::WormCopy);
        return true;
    }
    const std::string name = base_name(w.names.back());
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(head.bytes.data());
    if (!head.kept || !archive_candidate(name.c_str(), head.size) ||
        (!named_like_archive(name) && !may_hold_archive(bytes, head.bytes.size(), head.size)))
        return true;
    return examine_nested(w, a, head);
}

void walk_archive(Walk &w, Source &src, struct archive *a, bool single, const std::string &single_name)
{
    ++w.archives;
    w.blockers.push_back("");
    const size_t items_before = w.items.size();
    uint64_t position = 0;
    for (;; ++position) {
        struct archive_entry *entry = nullptr;
        const int r = archive_read_next_header(a, &entry);
        // ARCHIVE_RETRY too is damage: libarchive would search on for a header.
        if (r == ARCHIVE_EOF || (r != ARCHIVE_OK && r != ARCHIVE_WARN)) {
            if (r != ARCHIVE_EOF)
                note_damage(w, archive_error_string(a) != nullptr ? archive_error_string(a) : "cannot be read");
            // Where a rewrite must end too; kept for the archives that hold items only.
            if (w.items.size() > items_before)
                w.ends[w.at] = ArchiveEnd{position, r == ARCHIVE_EOF};
            break;
        }
        if (w.blockers.back().empty() && !can_rewrite(a, src))
            w.blockers.back() = format_name(a, src);
        if (w.blockers.size() == 1 && position == 0) {
            w.zip = (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP;
            w.first = name_key(single ? single_name : member_name(entry));
        }
        if (position >= MAX_ENTRIES) {
            note(w, Kind::NotExamined, "more than 100,000 entries");
            break;
        }
        const std::string name = single ? single_name : member_name(entry);
        if (w.keep_names && w.blockers.size() == 1)
            w.top_names.push_back(name_key(name));
        bool go_on = true;
        if (is_member(entry)) {
            ++w.members;
            w.names.push_back(name);
            w.at.push_back(position);
            if (w.progress != nullptr && w.blockers.size() == 1)
                show_progress(*w.progress, *w.path + " \u00bb " + name);
            go_on = examine_member(w, a, entry);
            w.names.pop_back();
            w.at.pop_back();
        }
        // What libarchive would decode to skip is read here, counted.
        if (go_on && !w.budget.exceeded && skip_decodes(a, src, entry))
            drain_member(a, w.budget);
        if (!go_on || w.budget.exceeded || w.full)
            break;
    }
    w.blockers.pop_back();
}

// Examines the file on disk where look says (Appended: from byte start on);
// false when it is not an archive.
bool walk_file(Walk &w, int fd, uint64_t size, const std::string &name, Look look = Look::Start, uint64_t start = 0)
{
    Source src;
    src.fd = fd;
    src.base = look == Look::Appended ? start : 0;
    src.size = size - src.base;
    src.budget = &w.budget;
    src.zip_only = look == Look::ZipEnd;
    ArchiveReader reader(nullptr, archive_read_free);
    std::string error;
    Opened opened = open_archive(src, &reader, &error);
    if (opened == Opened::NotArchive && look == Look::Appended) {
        // A ZIP whose offsets count from the file's start (zip -A) is read
        // through its central directory over the whole file.
        src.base = 0;
        src.size = size;
        src.start.clear();
        src.zip_only = true;
        opened = open_archive(src, &reader, &error);
    }
    if (opened == Opened::NotArchive)
        return false;
    if (opened == Opened::Damaged)
        note_damage(w, error);
    else
        walk_archive(w, src, reader.get(), opened == Opened::Compressed, uncompressed_name(base_name(name)));
    // A ZIP is read from its central directory, at the end: the first entry
    // from its first byte on is another when an archive lies in front of it.
    // (A program's appended ZIP has the program in front of it, and is never
    // rewritten.)
    std::vector<NameKey> streamed;
    Budget stream_budget;
    if (look == Look::Start && w.zip && src.start.compare(0, 2, "PK") == 0 && !w.budget.exceeded &&
        (!zip_stream_names(fd, size, stream_budget, &streamed, 1) || (!streamed.empty() && streamed[0] != w.first)))
        note(w, Kind::NotExamined, "data after the end of the archive");
    if (w.budget.exceeded) {
        w.names.clear();
        w.at.clear();
        note(w, Kind::NotExamined, "more than 4 GiB decompressed");
    }
    return true;
}

// "an ISO 9660", "a ZIP".
std::string with_article(const std::string &format)
{
    return (!format.empty() && strchr("AEIOUaeiou", format[0]) != nullptr ? "an " : "a ") + format;
}

// --clean: the members to change, those inside archives that are not rewritten
// aside; every finding then carries its outcome or the reason it failed.
void clean_archive(Output &out, const ArchiveFile &file, const ReplaceArchive &replace, Walk &w)
{
    RewritePlan plan;
    for (const Item &item : w.items)
        if (item.kind != Kind::NotExamined && item.blocker.empty())
            plan[item.at].found = item.kind == Kind::Infected ? Infected : WormCopy;
    std::string error;
    bool done = false;
    // A ZIP's entries from its first byte on are those of its central directory,
    // or more lies in the file than a rewrite would keep.
    // (One that did not end well fails in the rewrite, with its reason.)
    std::vector<NameKey> streamed;
    Budget stream_budget;
    const auto end = w.ends.find(EntryPath());
    const bool check_zip = !plan.empty() && w.zip && end != w.ends.end() && end->second.ended;
    if (check_zip && !zip_stream_names(file.fd, file.size, stream_budget, &streamed)) {
        error = "cannot be read from its first byte on: not rewritten";
    } else if (check_zip && streamed != w.top_names) {
        error = "data after the end of the archive: not rewritten";
    } else if (!plan.empty()) {
        UniqueFd temporary = temporary_file(file.dir_fd, &error);
        Source src;
        src.fd = file.fd;
        src.size = file.size;
        Budget budget;
        src.budget = &budget;
        std::vector<NameKey> written;
        struct stat st;
        if (temporary && rewrite_archive(src, temporary.get(), plan, w.ends, file.dir_fd, file.name, &written, &error)) {
            // Read back: every entry there and nothing left that rates as the worm.
            Walk check;
            check.keep_names = true;
            const bool read = fstat(temporary.get(), &st) == 0 &&
                              walk_file(check, temporary.get(), static_cast<uint64_t>(st.st_size), file.name);
            const auto not_examined = [](const Walk &walk) {
                return std::count_if(walk.items.begin(), walk.items.end(),
                                     [](const Item &item) { return item.kind == Kind::NotExamined; });
            };
            // Nothing left that rates as the worm, and nothing unreadable that was readable.
            const bool clean = std::none_of(check.items.begin(), check.items.end(), [](const Item &item) {
                return item.kind == Kind::Infected || item.kind == Kind::WormCopy;
            }) && not_examined(check) <= not_examined(w);
            if (!read || !clean || check.top_names != written)
                error = "the rewritten archive did not check out: not rewritten";
            else
                done = replace(temporary.get(), static_cast<uint64_t>(st.st_size), &error);
        }
    }
    for (const Item &item : w.items) {
        if (item.kind == Kind::NotExamined)
            continue;
        const Extra extra{item.member, "", "", 0};
        if (!item.blocker.empty()) {
            report(out, file.path, item.kind, Action::Failed, "inside " + with_article(item.blocker) +
                   " archive: not rewritten", extra);
            continue;
        }
        if (!done) {
            report(out, file.path, item.kind, Action::Failed, error, extra);
            continue;
        }
        const MemberOutcome &outcome = plan[item.at];
        for (uint64_t i = 0; i < outcome.restorations; ++i)
            report(out, file.path, Kind::Infected, Action::Restored, "", extra);
        if (outcome.left_out)
            report(out, file.path, Kind::WormCopy, Action::Deleted, "", extra);
    }
}

}  // namespace

bool archive_candidate(const char *name, uint64_t size)
{
    return archive_candidate(name, strlen(name), size);
}

bool archive_candidate(const char *name, size_t length, uint64_t size)
{
    return size >= WORM_MIN_SIZE || (size > 0 && named_like_archive(name, length));
}

void read_ahead_of_archive_look(int fd, uint64_t size, const char *name, const FileHead &head)
{
    uint64_t end = 0;
    if (named_like_archive(base_name(name)))
        return;
    // The length of its string table is read here.
    if (image_end_of(fd, size, head, &end) != Program::ImageEnds || size < end + MIN_APPENDED)
        return;
    // Its appended bytes' first ones and, should they be no archive, the span of a ZIP's end record.
    const auto ask = [fd](uint64_t offset, uint64_t count) {
        (void)posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(count), POSIX_FADV_WILLNEED);
    };
    ask(end, std::min<uint64_t>(size - end, FILE_HEAD_FIRST));
    ask(size - std::min<uint64_t>(size, ZIP_END_SPAN), std::min<uint64_t>(size, ZIP_END_SPAN));
}

bool examine_archive(Output &out, const ArchiveFile &file, const ReplaceArchive *replace)
{
    uint64_t start = 0;
    const Look look = named_like_archive(base_name(file.name)) ? Look::Start : where_to_look(file, &start);
    if (look == Look::Nowhere)
        return false;
    Walk w;
    w.progress = &out;
    w.path = &file.path;
    w.keep_names = replace != nullptr;
    if (!walk_file(w, file.fd, file.size, file.name, look, start))
        return false;
    out.totals.archives += w.archives;
    out.totals.members += w.members;
    out.totals.examined += w.examined;
    for (const Item &item : w.items) {
        if (item.kind == Kind::NotExamined)
            report(out, file.path, Kind::NotExamined, Action::Skipped, item.error, Extra{item.member, "", "", 0});
        else if (replace == nullptr)
            report(out, file.path, item.kind, Action::Reported,
                   item.blocker.empty() ? "" : "--clean cannot rewrite " + item.blocker + ": extract, clean, rebuild",
                   Extra{item.member, "", "", 0});
    }
    if (replace != nullptr)
        clean_archive(out, file, *replace, w);
    return true;
}

bool copy_over(int fd, int replacement, uint64_t size, std::string *error)
{
    // Every block is had before the first byte is written: a full disk then
    // leaves the archive as it was.
    if (!allocate_blocks(fd, size)) {
        *error = allocation_failure();
        return false;
    }
    uint64_t offset = 0;
    bool written = true;
    const bool read = read_pieces(replacement, [&](const char *bytes, size_t count) {
        written = pwrite_exactly(fd, bytes, count, offset);
        offset += written ? count : 0;
        return written;
    });
    if (!read) {
        *error = failure(written ? "cannot read the rewritten archive" : "cannot write");
        return false;
    }
    if (offset != size) {
        *error = "the rewritten archive changed while being copied";
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        *error = failure("cannot cut the file to its new length");
        return false;
    }
    if (fsync(fd) != 0) {
        *error = failure("cannot flush the change");
        return false;
    }
    return true;
}

bool survey_archive(int fd, uint64_t size, const char *name, ArchiveSurvey *survey)
{
    Walk w;
    if (!walk_file(w, fd, size, name))
        return false;
    survey->archives = w.archives;
    survey->members = w.members;
    for (const Item &item : w.items)
        ++(item.kind == Kind::NotExamined ? survey->not_examined : survey->found);
    return true;
}
