#include "offline/archive_rewrite.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "detect/image_rules.h"
#include "remedy/host_locate.h"

namespace {

// An infected member is restored in memory: the host of a worm is a program, not a disk image.
const uint64_t MAX_RESTORED_MEMBER = 1ull << 30;

using ArchiveWriter = std::unique_ptr<struct archive, int (*)(struct archive *)>;

struct Rewrite {
    RewritePlan &plan;
    const ArchiveEnds &ends;
    int dir_fd;
    const char *name;
    Budget budget;
    EntryPath at;
    std::vector<std::string> names;
};

// "MEMBER » MEMBER: reason": a member that stops the rewrite is named.
std::string about(const Rewrite &rw, const std::string &reason)
{
    std::string where;
    for (const std::string &name : rw.names)
        where += (where.empty() ? "" : " \u00bb ") + shortened(name);
    return where + ": " + reason + ": not rewritten";
}

// A plan member lies further in: this member is an archive to rewrite as well.
bool holds_plan_member(const Rewrite &rw)
{
    const auto next = rw.plan.upper_bound(rw.at);
    return next != rw.plan.end() && next->first.size() > rw.at.size() &&
           std::equal(rw.at.begin(), rw.at.end(), next->first.begin());
}

// The same format and compression as the archive read; ZIP members keep
// theirs one by one (set before each header).
bool set_up_writer(struct archive *w, struct archive *r, int out, std::string *error)
{
    int format = archive_format(r);
    const bool zip = (format & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP;
    // A tar says ustar at its first member when that one needed no pax
    // records; later ones may carry some (extended attributes, ACLs, times
    // finer than a second): pax keeps them.
    if (format == ARCHIVE_FORMAT_TAR || format == ARCHIVE_FORMAT_TAR_USTAR || format == ARCHIVE_FORMAT_TAR_PAX_RESTRICTED)
        format = ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE;
    const int filter = archive_filter_code(r, 0);
    const bool set = (zip ? archive_write_set_format_zip(w) : archive_write_set_format(w, format)) == ARCHIVE_OK &&
                     (filter == ARCHIVE_FILTER_NONE || archive_write_add_filter(w, filter) == ARCHIVE_OK);
    // A tar keeps its 10,240-byte records; a ZIP or a compressed stream ends where its data ends.
    if (set && (zip || filter != ARCHIVE_FILTER_NONE))
        archive_write_set_bytes_in_last_block(w, 1);
    if (!set || archive_write_open_fd(w, out) != ARCHIVE_OK) {
        *error = "cannot write a " + std::string(archive_format_name(r) ? archive_format_name(r) : "") +
                 " archive: " + error_of(w);
        return false;
    }
    return true;
}

bool write_data(struct archive *w, const void *data, size_t size, std::string *error)
{
    if (archive_write_data(w, data, size) != static_cast<la_ssize_t>(size)) {
        *error = "cannot write: " + error_of(w);
        return false;
    }
    return true;
}

bool write_header(Rewrite &rw, struct archive *r, struct archive *w, struct archive_entry *entry,
                  std::string *error)
{
    if ((archive_format(r) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP) {
        const char *format = archive_format_name(r);
        const bool stored = format != nullptr && strstr(format, "uncompressed") != nullptr;
        (stored ? archive_write_zip_set_compression_store : archive_write_zip_set_compression_deflate)(w);
    }
    if (archive_write_header(w, entry) < ARCHIVE_WARN) {
        *error = about(rw, "cannot write its header: " + error_of(w));
        return false;
    }
    return true;
}

// Restores the whole member in memory, as often as it still rates Infected.
bool restore_member(Rewrite &rw, struct archive *r, MemberOutcome &outcome, std::vector<uint8_t> *data,
                    std::string *error)
{
    char piece[64 << 10];
    for (;;) {
        const la_ssize_t n = read_member(r, rw.budget, piece, sizeof piece);
        if (n < 0) {
            *error = about(rw, error_of(r));
            return false;
        }
        if (n == 0)
            break;
        if (data->size() + static_cast<size_t>(n) >= MAX_RESTORED_MEMBER) {
            *error = about(rw, "infected member of 1 GiB or more");
            return false;
        }
        data->insert(data->end(), piece, piece + n);
    }
    const uint64_t limit = max_restorations(data->size());
    ScanVerdict verdict = rate_image(data->data(), static_cast<uint32_t>(data->size()));
    while (verdict == Infected) {
        uint32_t size = 0;
        if (outcome.restorations == limit) {
            *error = about(rw, "still infected after " + std::to_string(limit) + " restorations");
            return false;
        }
        if (restore_infected_view(data->data(), static_cast<uint32_t>(data->size()), &size) != HOST_FOUND) {
            *error = about(rw, "no host program found behind the worm");
            return false;
        }
        data->resize(size);
        ++outcome.restorations;
        verdict = rate_image(data->data(), size);
    }
    outcome.left_out = verdict == WormCopy;
    return true;
}

bool write_archive(Rewrite &rw, Source &src, int out, std::vector<NameKey> *names, std::string *error);

bool write_nested(Rewrite &rw, struct archive *r, struct archive *w, struct archive_entry *entry,
                  std::string *error)
{
    UniqueFd temporary = temporary_file(rw.dir_fd, error);
    if (!temporary)
        return false;
    Source nested;
    nested.concatenated = false;
    nested.budget = &rw.budget;
    std::vector<char> piece(64 << 10);
    la_ssize_t n = read_member(r, rw.budget, piece.data(), piece.size());
    UniqueFd copy;
    if (n >= 2 && memcmp(piece.data(), "PK", 2) == 0) {
        // A ZIP keeps its members' modes in its central directory, which a
        // stream never reaches: it is read from a copy, as a file on disk is,
        // once its entries from the first byte on are those of the directory.
        copy = temporary_file(rw.dir_fd, error);
        if (!copy)
            return false;
        for (; n > 0; n = read_member(r, rw.budget, piece.data(), piece.size())) {
            if (!pwrite_exactly(copy.get(), piece.data(), static_cast<size_t>(n), nested.size)) {
                *error = failure("cannot write a copy of the member");
                return false;
            }
            nested.size += static_cast<uint64_t>(n);
        }
        nested.fd = copy.get();
        if (n == 0 && !zip_entries_agree(copy.get(), nested.size, rw.budget)) {
            *error = about(rw, "data after the end of the archive");
            return false;
        }
    } else {
        nested.outer = r;
        nested.prefix.assign(piece.data(), static_cast<size_t>(std::max<la_ssize_t>(n, 0)));
    }
    if (n < 0) {
        *error = about(rw, error_of(r));
        return false;
    }
    struct stat st;
    if (!write_archive(rw, nested, temporary.get(), nullptr, error))
        return false;
    if (fstat(temporary.get(), &st) != 0) {
        *error = failure("cannot examine the rewritten member");
        return false;
    }
    archive_entry_set_size(entry, st.st_size);
    if (!write_header(rw, r, w, entry, error))
        return false;
    bool written = true;
    const bool read = read_pieces(temporary.get(), [&](const char *bytes, size_t count) {
        return written = write_data(w, bytes, count, error);
    });
    if (!read && written)
        *error = failure("cannot read the rewritten member");
    return read;
}

bool copy_member(Rewrite &rw, struct archive *r, struct archive *w, struct archive_entry *entry,
                 std::string *error)
{
    if (archive_entry_is_data_encrypted(entry)) {
        *error = about(rw, "encrypted member");
        return false;
    }
    if (!write_header(rw, r, w, entry, error))
        return false;
    char piece[64 << 10];
    for (;;) {
        const la_ssize_t n = read_member(r, rw.budget, piece, sizeof piece);
        if (n < 0) {
            *error = about(rw, error_of(r));
            return false;
        }
        if (n == 0)
            return true;
        if (!write_data(w, piece, static_cast<size_t>(n), error))
            return false;
    }
}

// One entry of the archive read, written as it was or changed by the plan.
bool write_entry(Rewrite &rw, struct archive *r, struct archive *w, struct archive_entry *entry,
                 std::string *error)
{
    const auto planned = rw.plan.find(rw.at);
    if (planned == rw.plan.end())
        return holds_plan_member(rw) ? write_nested(rw, r, w, entry, error) : copy_member(rw, r, w, entry, error);
    MemberOutcome &outcome = planned->second;
    if (outcome.found == WormCopy) {
        // Read to its end, counted, rather than skipped by decoding it unseen.
        if (!drain_member(r, rw.budget)) {
            *error = about(rw, error_of(r));
            return false;
        }
        outcome.left_out = true;
        return true;
    }
    const la_int64_t declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
    if (declared > static_cast<la_int64_t>(UINT32_MAX)) {
        *error = about(rw, "member of 4 GiB or more");
        return false;
    }
    std::vector<uint8_t> data;
    if (!restore_member(rw, r, outcome, &data, error))
        return false;
    if (outcome.left_out)
        return true;
    archive_entry_set_size(entry, static_cast<la_int64_t>(data.size()));
    return write_header(rw, r, w, entry, error) && write_data(w, data.data(), data.size(), error);
}

bool write_archive(Rewrite &rw, Source &src, int out, std::vector<NameKey> *names, std::string *error)
{
    ArchiveReader r(nullptr, archive_read_free);
    if (open_archive(src, &r, error) != Opened::Archive) {
        *error = rw.names.empty() ? "cannot be read again: not rewritten" : about(rw, "cannot be read again");
        return false;
    }
    ArchiveWriter w(archive_write_new(), archive_write_free);
    bool opened = false;
    for (uint64_t position = 0;; ++position) {
        struct archive_entry *entry = nullptr;
        const int got = archive_read_next_header(r.get(), &entry);
        if (got == ARCHIVE_EOF) {
            const auto seen = rw.ends.find(rw.at);
            if (seen != rw.ends.end() && seen->second.ended && seen->second.entries == position)
                break;
            const char *why = seen == rw.ends.end() ? "not read to its end when examined" : "data after the end of the archive";
            *error = rw.names.empty() ? std::string(why) + ": not rewritten" : about(rw, why);
            return false;
        }
        if (position >= MAX_ENTRIES) {
            *error = rw.names.empty() ? "more than 100,000 entries: not rewritten"
                                      : about(rw, "more than 100,000 entries");
            return false;
        }
        if (got != ARCHIVE_OK && got != ARCHIVE_WARN) {
            *error = (rw.names.empty() ? std::string("damaged archive: ") + error_of(r.get())
                                       : about(rw, "damaged archive: " + error_of(r.get())));
            if (rw.names.empty())
                *error += ": not rewritten";
            return false;
        }
        // The format of a tar is known once its first header is read.
        if (!opened && !set_up_writer(w.get(), r.get(), out, error))
            return false;
        opened = true;
        // A writer of another tar format would drop pax records met further on.
        if (archive_format(r.get()) == ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE &&
            archive_format(w.get()) != ARCHIVE_FORMAT_TAR_PAX_INTERCHANGE) {
            rw.names.push_back(member_name(entry));
            *error = about(rw, "pax records that a " + std::string(archive_format_name(w.get())) +
                                   " archive cannot keep");
            rw.names.pop_back();
            return false;
        }
        const std::string name = member_name(entry);
        rw.at.push_back(position);
        rw.names.push_back(name);
        const bool written = write_entry(rw, r.get(), w.get(), entry, error);
        rw.at.pop_back();
        rw.names.pop_back();
        if (!written)
            return false;
        if (names != nullptr) {
            EntryPath at = rw.at;
            at.push_back(position);
            const auto left = rw.plan.find(at);
            if (left == rw.plan.end() || !left->second.left_out)
                names->push_back(name_key(name));
        }
    }
    if (!opened && !set_up_writer(w.get(), r.get(), out, error))
        return false;
    if (archive_write_close(w.get()) != ARCHIVE_OK) {
        *error = "cannot write: " + error_of(w.get()) + ": not rewritten";
        return false;
    }
    return true;
}

}  // namespace

bool rewrite_archive(Source &src, int out, RewritePlan &plan, const ArchiveEnds &ends, int dir_fd, const char *name,
                     std::vector<NameKey> *names, std::string *error)
{
    Rewrite rw{plan, ends, dir_fd, name, Budget(), EntryPath(), {}};
    src.concatenated = false;
    src.budget = &rw.budget;
    return write_archive(rw, src, out, names, error);
}

UniqueFd temporary_file(int dir_fd, std::string *error)
{
    // Unnamed where the file system allows: nothing is left behind by a killed run.
    UniqueFd fd(openat(dir_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    // Else a random name, tried again while taken: a name known in advance
    // could be taken by another user of the folder to block every rewrite.
    for (unsigned n = 0; !fd && n < 100; ++n) {
        uint64_t random = 0;
        if (getrandom(&random, sizeof random, 0) != sizeof random)
            break;
        char hex[17];
        snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(random));
        const std::string temporary = std::string(".veskacure-") + hex;
        fd.reset(openat(dir_fd, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno != EEXIST)
            break;
        // Its name goes at once, while it still names this file (were it
        // swapped meanwhile, the file would stay: then it is not used).
        struct stat ours, named;
        if (fd && (fstat(fd.get(), &ours) != 0 || fstatat(dir_fd, temporary.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
                   ours.st_dev != named.st_dev || ours.st_ino != named.st_ino ||
                   unlinkat(dir_fd, temporary.c_str(), 0) != 0)) {
            *error = "the temporary file beside the archive was replaced";
            return UniqueFd();
        }
    }
    if (!fd)
        *error = failure("cannot make a temporary file beside the archive");
    return fd;
}
