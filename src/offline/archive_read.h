// Reading one archive through libarchive: where its bytes come from (the file
// on disk, or a member of the archive around it), how it is recognised, and
// the bytes of a member that the rules need.
#ifndef VESKACURE_OFFLINE_ARCHIVE_READ_H
#define VESKACURE_OFFLINE_ARCHIVE_READ_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <archive.h>
#include <archive_entry.h>

#include "detect/verdict.h"

// Limits against archive bombs, for everything read from one file on disk.
const uint64_t MAX_DECOMPRESSED = 4ull << 30;
const uint64_t MAX_ENTRIES = 100000;  // per archive, every entry: files, folders, links
const int MAX_DEPTH = 8;  // the archive on disk is depth 1

struct Budget {
    uint64_t decompressed = 0;  // member bytes read, at every depth
    bool exceeded = false;
};

// Where an archive's bytes come from.
struct Source {
    int fd = -1;  // the file on disk, read with pread and seekable
    uint64_t base = 0;  // where in it the bytes begin: past a program's image, its appended archive
    uint64_t size = 0, offset = 0;  // of the bytes from base on
    struct archive *outer = nullptr;  // or the current member of outer, read as a stream
    std::string prefix;               // the member's bytes read already (its head, what recognition read)
    size_t prefix_used = 0;
    bool recording = false;  // while recognising: keep what is read, so that a second try can read it again
    std::string outer_error;  // set when the outer archive failed under us
    std::string start;        // the first bytes: a ZIP not starting at offset 0 carries a stub
    Budget *budget = nullptr;
    // A tar read on past its end marker, as GNU tar -i does: the examination
    // sees every part of tar files put one after the other; the rewrite stops
    // at the first end, and so knows when more followed.
    bool concatenated = true;
    std::vector<char> buffer;
    size_t buffer_filled = 0, buffer_used = 0;  // what buffer holds, and how much of it libarchive had
    uint64_t filtered = 0;                      // the filters' output counted so far
    bool zip_only = false;                      // only a ZIP, read through its central directory
};

using ArchiveReader = std::unique_ptr<struct archive, int (*)(struct archive *)>;

enum class Opened {
    Archive,     // a format recognised
    Compressed,  // a compression recognised and no archive in it: one member, read with the raw format
    NotArchive,  // neither: not an archive at all
    Damaged,     // recognised, then failed (*error)
};

// How many first bytes of a file or member the look for an archive starts from.
const size_t SNIFF_SPAN = 64 << 10;
// The smallest archive appended to a program (an empty ZIP's end record).
const uint64_t MIN_APPENDED = 22;

// Reads the 4 bytes at offset of the file whose first bytes are looked at;
// false where they cannot be had.
using ReadAt = std::function<bool(uint64_t offset, uint8_t bytes[4])>;

enum class Program {
    No,         // not a program (a PE image)
    ImageEnds,  // a program, its image ending at *end
    Undecided,  // a program whose headers lie past the bytes given
};

// Where a program's image ends, from its own headers (the core's bounded
// readers over head, and read_at past it): the end of its last section's raw
// data, then its COFF symbol table and string table when they follow, then
// its certificate table when it follows. Anything after that end is appended
// to the program: where a self-extractor keeps its archive.
Program program_image_end(const uint8_t *head, size_t head_size, uint64_t size, const ReadAt &read_at,
                          uint64_t *end);

// libarchive's recognition over bytes in memory, of the formats and
// compressions known by their first bytes; none searches on through them for
// a self-extractor's archive. After a program's image (appended), an empty
// tar (zeros, as padding reads) is not an archive.
bool recognised_at_start(const uint8_t *bytes, size_t size, bool appended);

// For a member, whose bytes past head cannot be read back: whether
// libarchive's full detection is worth running on it. A program when bytes
// follow its image; anything else (a program's headers past the head too)
// when its first bytes are recognised.
bool may_hold_archive(const uint8_t *head, size_t head_size, uint64_t size);

// Opens an archive over src (unread so far). *reader is set for Archive and Compressed.
Opened open_archive(Source &src, ArchiveReader *reader, std::string *error);

// archive_read_data counted against the budget.
la_ssize_t read_member(struct archive *a, Budget &budget, void *buffer, size_t size);

// The first bytes of a member, as many as the rules need.
struct MemberHead {
    std::string bytes;
    uint64_t size = 0;   // exact when ended or known from the header; else a lower bound that rates alike
    bool ended = false;  // the whole member is in bytes
    bool kept = true;    // bytes hold everything read: the stream can go on after them
    uint8_t signature[4] = {};  // the PE signature, when it lay past the bytes kept
    bool has_signature = false;
};

enum class ReadResult { Ok, Failed, Fatal };

// Reads the member's head (after archive_read_next_header). Failed: this
// member cannot be read (an unsupported method); Fatal: the archive cannot go on.
ReadResult read_head(struct archive *a, struct archive_entry *entry, Budget &budget, MemberHead *head,
                     std::string *error);

ScanVerdict rate_head(const MemberHead &head);

// The format's name for messages ("ZIP", "tar", "ISO 9660", ...), and whether
// this tool writes it anew: ZIP from offset 0, tar plain or gzip, bzip2, xz.
std::string format_name(struct archive *a, const Source &src);
// libarchive's own words for its last error.
std::string error_of(struct archive *a);
bool can_rewrite(struct archive *a, const Source &src);

// Whether libarchive skips the rest of this entry's data by decoding it (a
// solid block, a CAB folder, a streamed ZIP member of unknown size), unseen by
// the budget: then it is read through read_member instead, to its end.
bool skip_decodes(struct archive *a, const Source &src, struct archive_entry *entry);
// False once the budget is spent.
bool drain_member(struct archive *a, Budget &budget);

// What is kept of a name met, to check a rewrite against: a digest and the
// length, whatever its length; and the first bytes of a name kept for output.
using NameKey = std::pair<size_t, size_t>;
NameKey name_key(const std::string &name);
const size_t MAX_NAME_KEPT = 1024;
std::string shortened(const std::string &name);

// The entries of the ZIP file fd as its local headers give them from its first
// byte on, read as a stream. A ZIP read through its central directory (found
// at the end) shows other entries when another archive lies in front of it,
// as in two ZIP files put one after the other; false when it cannot be read so.
// At most limit entries are read.
bool zip_stream_names(int fd, uint64_t size, Budget &budget, std::vector<NameKey> *names,
                      size_t limit = MAX_ENTRIES);

// The same for a ZIP read through its central directory: its entries agree.
bool zip_entries_agree(int fd, uint64_t size, Budget &budget);

// The member's name as shown: UTF-8 where libarchive can give it.
std::string member_name(struct archive_entry *entry);

// Regular files, and entries of other kinds that carry data (an extractor
// writes them as files): folders, symbolic links and hard links without data
// are not members.
bool is_member(struct archive_entry *entry);

#endif
