#include "offline/archive_read.h"

#include <errno.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <stdint.h>
#include <unistd.h>

#include <algorithm>

#include "detect/image_rules.h"

namespace {

// libarchive's error numbers for "not this format" and "other", as it defines
// them on Linux (not in its public header).
const int ERRNO_FILE_FORMAT = EILSEQ;
const int ERRNO_MISC = -1;

const size_t PIECE = 64 << 10;
const size_t FIRST_PIECE = 4 << 10;
// A member whose PE signature lies further in than this is still rated, but
// not kept for archive detection: real archives keep their headers near the start.
const size_t HEAD_KEPT_LIMIT = 16 << 20;

bool has_filter(struct archive *a)
{
    return archive_filter_count(a) > 1;
}

// What a reader's filters put out is counted each time they ask for more
// input: libarchive skips a member of a tar.gz by decompressing it, unseen.
bool over_budget(struct archive *a, Source &src)
{
    if (has_filter(a)) {
        const uint64_t out = static_cast<uint64_t>(archive_filter_bytes(a, 0));
        src.budget->decompressed += out > src.filtered ? out - src.filtered : 0;
        src.filtered = std::max(out, src.filtered);
        if (src.budget->decompressed > MAX_DECOMPRESSED)
            src.budget->exceeded = true;
    }
    if (src.budget->exceeded)
        archive_set_error(a, ERRNO_MISC, "more than 4 GiB decompressed");
    return src.budget->exceeded;
}

// Whether a stream starts as one of the compressions libarchive decodes.
bool starts_compressed(const std::string &start)
{
    static const char *const MAGIC[] = {"\x1f\x8b", "\x1f\x9d", "BZh", "\xfd\x37zX", "LZIP", "\x5d\x00\x00"};
    for (const char *magic : MAGIC) {
        const size_t n = magic[0] == '\x5d' ? 3 : strlen(magic);
        if (start.size() >= n && start.compare(0, n, magic, n) == 0)
            return true;
    }
    return false;
}

// How much input libarchive is given at a time. A filter decompresses all it
// was given before it asks again, and bzip2 turns one byte into up to a
// megabyte: behind bzip2 (and while recognising what starts as a
// compression) a few bytes at a time, behind any other filter 4 KiB, so that
// little runs on between two counts.
size_t input_step(struct archive *a, const Source &src)
{
    if (has_filter(a)) {
        for (int i = 0; i + 1 < archive_filter_count(a); ++i)
            if (archive_filter_code(a, i) == ARCHIVE_FILTER_BZIP2)
                return 64;
        return archive_format(a) == 0 ? 64 : 4096;
    }
    return archive_format(a) == 0 && starts_compressed(src.start) ? 64 : SIZE_MAX;
}

// The next piece of the bytes held in buffer (count of them, from *used on).
la_ssize_t hand_out(struct archive *a, const Source &src, const char *buffer, size_t count, size_t *used,
                    const void **out)
{
    const size_t n = std::min(count - *used, input_step(a, src));
    *out = buffer + *used;
    *used += n;
    return static_cast<la_ssize_t>(n);
}

la_ssize_t read_disk(struct archive *a, void *data, const void **buffer)
{
    Source &src = *static_cast<Source *>(data);
    if (over_budget(a, src))
        return -1;
    if (src.buffer_used < src.buffer_filled)
        return hand_out(a, src, src.buffer.data(), src.buffer_filled, &src.buffer_used, buffer);
    // The first read serves the recognition of compressions, which needs a
    // few bytes: a look at a ZIP's end moves on to its last 16 KiB at once. No
    // more than the bytes left.
    const size_t most = src.offset == 0 && src.start.empty() ? FIRST_PIECE : PIECE * 4;
    const size_t want = src.offset < src.size ? static_cast<size_t>(std::min<uint64_t>(most, src.size - src.offset))
                                              : PIECE;
    if (src.buffer.size() < want)
        src.buffer.resize(want);
    for (;;) {
        const ssize_t n = pread(src.fd, src.buffer.data(), want, static_cast<off_t>(src.base + src.offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            archive_set_error(a, errno, "cannot read: %s", strerror(errno));
            return -1;
        }
        if (src.offset == 0 && src.start.empty())
            src.start.assign(src.buffer.data(), std::min<size_t>(static_cast<size_t>(n), 4));
        src.offset += static_cast<uint64_t>(n);
        src.buffer_filled = static_cast<size_t>(n);
        src.buffer_used = 0;
        return hand_out(a, src, src.buffer.data(), src.buffer_filled, &src.buffer_used, buffer);
    }
}

la_int64_t seek_disk(struct archive *, void *data, la_int64_t offset, int whence)
{
    Source &src = *static_cast<Source *>(data);
    src.offset -= src.buffer_filled - src.buffer_used;  // what was read ahead and not handed out
    src.buffer_used = src.buffer_filled = 0;
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(src.offset)
                                                                     : static_cast<int64_t>(src.size);
    const int64_t to = base + offset;
    if (to < 0)
        return ARCHIVE_FATAL;
    src.offset = static_cast<uint64_t>(to);
    return to;
}

la_int64_t skip_disk(struct archive *, void *data, la_int64_t request)
{
    Source &src = *static_cast<Source *>(data);
    src.offset -= src.buffer_filled - src.buffer_used;  // what was read ahead and not handed out
    src.buffer_used = src.buffer_filled = 0;
    const uint64_t left = src.offset < src.size ? src.size - src.offset : 0;
    const uint64_t skipped = std::min<uint64_t>(static_cast<uint64_t>(std::max<la_int64_t>(request, 0)), left);
    src.offset += skipped;
    return static_cast<la_int64_t>(skipped);
}

// A member of the outer archive: first the bytes read from it already, then the rest of its data.
la_ssize_t read_nested(struct archive *a, void *data, const void **buffer)
{
    Source &src = *static_cast<Source *>(data);
    if (over_budget(a, src))
        return -1;
    if (src.prefix_used < src.prefix.size())
        return hand_out(a, src, src.prefix.data(), src.prefix.size(), &src.prefix_used, buffer);
    if (src.buffer_used < src.buffer_filled)
        return hand_out(a, src, src.buffer.data(), src.buffer_filled, &src.buffer_used, buffer);
    src.buffer.resize(PIECE);
    const la_ssize_t n = read_member(src.outer, *src.budget, src.buffer.data(), src.buffer.size());
    if (n < 0) {
        const char *text = archive_error_string(src.outer);
        src.outer_error = text != nullptr ? text : "cannot read";
        archive_set_error(a, ERRNO_MISC, "%s", src.outer_error.c_str());
        return -1;
    }
    if (src.recording) {
        src.prefix.append(src.buffer.data(), static_cast<size_t>(n));
        src.prefix_used = src.prefix.size();
    }
    src.buffer_filled = static_cast<size_t>(n);
    src.buffer_used = 0;
    return hand_out(a, src, src.buffer.data(), src.buffer_filled, &src.buffer_used, buffer);
}

// Compressions libarchive decodes itself (no helper program is ever started),
// and the archive formats looked into: not mtree (its entries name files
// elsewhere on this machine), nor empty, warc. A ZIP is read through its
// central directory, or for a look at its first bytes as a stream.
void support_filters(struct archive *a)
{
    archive_read_support_filter_gzip(a);
    archive_read_support_filter_bzip2(a);
    archive_read_support_filter_xz(a);
    archive_read_support_filter_lzma(a);
    archive_read_support_filter_lzip(a);
    archive_read_support_filter_compress(a);
}

void support_formats(struct archive *a, bool streamable_zip)
{
    archive_read_support_format_7zip(a);
    archive_read_support_format_ar(a);
    archive_read_support_format_cab(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_iso9660(a);
    archive_read_support_format_lha(a);
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    archive_read_support_format_tar(a);
    archive_read_support_format_xar(a);
    if (streamable_zip)
        archive_read_support_format_zip_streamable(a);
    else
        archive_read_support_format_zip(a);
}

ArchiveReader new_reader(Source &src, bool raw)
{
    ArchiveReader a(archive_read_new(), archive_read_free);
    support_filters(a.get());
    if (raw) {
        // A compressed empty file (as some man pages ship) is an empty file.
        archive_read_support_format_empty(a.get());
        archive_read_support_format_raw(a.get());
    } else if (src.zip_only) {
        archive_read_support_format_zip_seekable(a.get());
    } else {
        support_formats(a.get(), false);
        if (src.concatenated)
            archive_read_set_format_option(a.get(), "tar", "read_concatenated_archives", "1");
    }
    archive_read_set_callback_data(a.get(), &src);
    if (src.fd >= 0) {
        archive_read_set_read_callback(a.get(), read_disk);
        archive_read_set_seek_callback(a.get(), seek_disk);
        archive_read_set_skip_callback(a.get(), skip_disk);
    } else {
        archive_read_set_read_callback(a.get(), read_nested);
    }
    return a;
}

void rewind(Source &src)
{
    src.offset = 0;
    src.prefix_used = 0;
    src.buffer_used = src.buffer_filled = 0;
    src.filtered = 0;
}

// The formats whose recognition, for bytes that start like a program, searches
// through it for a self-extractor's archive (their own signatures never start
// so): left out for such bytes.
bool starts_like_program(const uint8_t *bytes, size_t size)
{
    return (size >= 2 && memcmp(bytes, "MZ", 2) == 0) || (size >= 4 && memcmp(bytes, "\x7F" "ELF", 4) == 0);
}

bool starts_with(const uint8_t *bytes, size_t size, const char *magic, size_t length)
{
    return size >= length && memcmp(bytes, magic, length) == 0;
}

void support_formats_by_start(struct archive *a, const uint8_t *bytes, size_t size)
{
    // Its volume descriptors lie from 32 KiB on, and its bidder wants the first
    // eight of them (48 KiB in all) or bids nothing: fewer bytes, copied into a
    // buffer of its own first, cannot be one.
    if (size >= (48 << 10))
        archive_read_support_format_iso9660(a);
    // A tar needs no signature (an old one is known by its header's checksum).
    archive_read_support_format_tar(a);
    // The bidders of the formats below take only their own signature at the
    // start (for bytes that do not start like a program), which a shorter
    // prefix of it (for LHA, "-l" at 2 and "-" at 6; for cpio, the four
    // characters its text headers' magic numbers share, or its binary one
    // either way round) always matches. Each one's reader state, allocated
    // and zeroed, costs more than the rest of the look (tens of KiB for 7z,
    // RAR, RAR5): it is made only for bytes that may be one, libarchive
    // deciding. (Behind a compression they bid on other bytes; but a
    // compression recognised sends the file to the full detection, whatever
    // it holds.)
    if (starts_with(bytes, size, "!<arch>\n", 8))
        archive_read_support_format_ar(a);
    if (starts_with(bytes, size, "0707", 4) || starts_with(bytes, size, "\x71\xC7", 2) ||
        starts_with(bytes, size, "\xC7\x71", 2))
        archive_read_support_format_cpio(a);
    if (starts_with(bytes, size, "xar!", 4))
        archive_read_support_format_xar(a);
    if (starts_with(bytes, size, "PK", 2))
        archive_read_support_format_zip_streamable(a);
    if (starts_like_program(bytes, size))
        return;
    if (starts_with(bytes, size, "7z\xBC\xAF\x27\x1C", 6))
        archive_read_support_format_7zip(a);
    if (starts_with(bytes, size, "MSCF", 4))
        archive_read_support_format_cab(a);
    if (size >= 7 && bytes[2] == '-' && bytes[3] == 'l' && bytes[6] == '-')
        archive_read_support_format_lha(a);
    if (starts_with(bytes, size, "Rar!\x1A\x07\x00", 7))
        archive_read_support_format_rar(a);
    if (starts_with(bytes, size, "Rar!\x1A\x07\x01\x00", 8))
        archive_read_support_format_rar5(a);
}

// The image's end moves past a part of the file that starts right there (on
// the next multiple of align) and lies wholly inside it; a part elsewhere
// leaves it, what lies between being appended: no header can hide an
// appended archive.
void extend_end(uint64_t *end, uint64_t part, uint64_t part_size, uint64_t size, uint64_t align)
{
    if (part == (*end + align - 1) / align * align && part <= size && part_size <= size - part)
        *end = part + part_size;
}

}  // namespace

Program program_image_end(const uint8_t *head, size_t head_size, uint64_t size, const ReadAt &read_at, uint64_t *end)
{
    const uint32_t span = static_cast<uint32_t>(std::min<size_t>(head_size, SNIFF_SPAN));
    uint32_t e_lfanew = 0, signature = 0;
    if (!pe_signature_offset(head, span, size, &e_lfanew) || !read_u32(head, span, e_lfanew, &signature) ||
        signature != 0x00004550u)
        return Program::No;
    uint16_t sections = 0, optional_size = 0;
    if (!read_u16(head, span, e_lfanew + 6, &sections) || !read_u16(head, span, e_lfanew + 20, &optional_size))
        return Program::Undecided;
    uint64_t at = 0;
    const uint64_t table = static_cast<uint64_t>(e_lfanew) + 24 + optional_size;
    // A section table that runs past the bytes given is known before reading it.
    if (table + 40ull * sections > span)
        return Program::Undecided;
    for (uint32_t i = 0; i < sections; ++i) {
        const uint64_t entry = table + 40ull * i;
        uint32_t raw_size = 0, raw_offset = 0;
        if (entry + 40 > span || !read_u32(head, span, static_cast<uint32_t>(entry + 16), &raw_size) ||
            !read_u32(head, span, static_cast<uint32_t>(entry + 20), &raw_offset))
            return Program::Undecided;
        at = std::max<uint64_t>(at, static_cast<uint64_t>(raw_offset) + raw_size);
    }
    // The COFF symbol table (18 bytes a symbol), then its string table, whose
    // first 4 bytes are its length, themselves included. A length that cannot
    // be read is taken to reach the file's end.
    uint32_t symbols = 0, count = 0;
    if (read_u32(head, span, e_lfanew + 12, &symbols) && read_u32(head, span, e_lfanew + 16, &count) &&
        symbols != 0 && symbols == at) {
        const uint64_t strings = static_cast<uint64_t>(symbols) + 18ull * count;
        uint8_t length_bytes[4];
        uint32_t length = 0;
        const bool known = strings + 4 <= size &&
                           (strings + 4 <= span ? read_u32(head, span, static_cast<uint32_t>(strings), &length)
                                                : read_at(strings, length_bytes) && read_u32(length_bytes, 4, 0, &length));
        if (strings <= size)
            extend_end(&at, symbols, strings - symbols + (known ? std::max<uint32_t>(length, 4) : size - strings), size, 1);
    }
    // The certificate table (the security entry of the data directory): a
    // file offset, 8-byte aligned.
    uint16_t magic = 0;
    uint32_t certificate = 0, certificate_size = 0;
    const uint32_t directory = e_lfanew + 24 + (read_u16(head, span, e_lfanew + 24, &magic) && magic == 0x20B ? 144 : 128);
    if (optional_size >= directory - e_lfanew - 24 + 8 && read_u32(head, span, directory, &certificate) &&
        read_u32(head, span, directory + 4, &certificate_size) && certificate != 0)
        extend_end(&at, certificate, certificate_size, size, 8);
    *end = at;
    return Program::ImageEnds;
}

bool recognised_at_start(const uint8_t *bytes, size_t size, bool appended)
{
    // The formats' state, some 150 KiB, is allocated and freed at every look:
    // glibc gave the freed top of the heap back each time, and the next look
    // took it again as fresh pages, at ten times the cost of the look. Kept.
    static const bool heap_kept = mallopt(M_TRIM_THRESHOLD, 16 << 20) == 1;
    (void)heap_kept;
    ArchiveReader a(archive_read_new(), archive_read_free);
    support_filters(a.get());
    support_formats_by_start(a.get(), bytes, size);
    if (archive_read_open_memory(a.get(), bytes, size) == ARCHIVE_OK) {
        struct archive_entry *entry = nullptr;
        return !appended || archive_read_next_header(a.get(), &entry) != ARCHIVE_EOF;
    }
    // A compression known, its stream cut short here: the full detection reads on.
    return archive_filter_count(a.get()) != 1 || archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_NONE;
}

bool may_hold_archive(const uint8_t *head, size_t head_size, uint64_t size)
{
    head_size = std::min(head_size, SNIFF_SPAN);
    uint64_t end = 0;
    const ReadAt cannot = [](uint64_t, uint8_t *) { return false; };
    // Headers past the first 64 KiB are no program's that Windows would load.
    if (program_image_end(head, head_size, size, cannot, &end) == Program::ImageEnds)
        return size >= end + MIN_APPENDED;
    return recognised_at_start(head, head_size, false);
}

std::string error_of(struct archive *a)
{
    const char *text = archive_error_string(a);
    return text != nullptr ? text : "cannot be read";
}

Opened open_archive(Source &src, ArchiveReader *reader, std::string *error)
{
    src.recording = src.fd < 0;
    rewind(src);
    ArchiveReader a = new_reader(src, false);
    if (archive_read_open1(a.get()) == ARCHIVE_OK) {
        src.recording = false;
        *reader = std::move(a);
        return Opened::Archive;
    }
    // libarchive's open fails alike for bytes it does not know and for a
    // format or compression it knew that then failed: what it recognised tells.
    const int filters = archive_filter_count(a.get());
    const bool nothing = filters == 1 && archive_filter_code(a.get(), 0) == ARCHIVE_FILTER_NONE;
    const bool compressed_only = filters > 1 && archive_errno(a.get()) == ERRNO_FILE_FORMAT;
    *error = error_of(a.get());
    a.reset();
    if (src.budget->exceeded || !src.outer_error.empty()) {
        src.recording = false;
        return Opened::Damaged;
    }
    if (nothing) {
        src.recording = false;
        return Opened::NotArchive;
    }
    if (!compressed_only) {
        src.recording = false;
        return Opened::Damaged;
    }
    rewind(src);
    a = new_reader(src, true);
    const bool opened = archive_read_open1(a.get()) == ARCHIVE_OK;
    src.recording = false;
    if (!opened) {
        *error = error_of(a.get());
        return Opened::Damaged;
    }
    *reader = std::move(a);
    return Opened::Compressed;
}

la_ssize_t read_member(struct archive *a, Budget &budget, void *buffer, size_t size)
{
    if (budget.exceeded) {
        archive_set_error(a, ERRNO_MISC, "more than 4 GiB decompressed");
        return ARCHIVE_FATAL;
    }
    const la_ssize_t n = archive_read_data(a, buffer, size);
    // Behind a filter its output is counted as it asks for input.
    if (n > 0 && !has_filter(a)) {
        budget.decompressed += static_cast<uint64_t>(n);
        if (budget.decompressed > MAX_DECOMPRESSED) {
            budget.exceeded = true;
            archive_set_error(a, ERRNO_MISC, "more than 4 GiB decompressed");
            return ARCHIVE_FATAL;
        }
    }
    return n;
}

namespace {

// Reads on until the head holds want bytes or the member ends. Past the kept
// limit the bytes are only counted, save the PE signature at signature_at.
ReadResult read_to(struct archive *a, Budget &budget, uint64_t want, uint64_t signature_at, MemberHead *head,
                   uint64_t *read_so_far, std::string *error)
{
    char piece[PIECE];
    while (!head->ended && *read_so_far < want) {
        const size_t ask = static_cast<size_t>(std::min<uint64_t>(sizeof piece, want - *read_so_far));
        const la_ssize_t n = read_member(a, budget, piece, ask);
        if (n < 0) {
            *error = error_of(a);
            return n == ARCHIVE_FATAL || budget.exceeded ? ReadResult::Fatal : ReadResult::Failed;
        }
        if (n == 0) {
            head->ended = true;
            break;
        }
        const uint64_t from = *read_so_far;
        *read_so_far += static_cast<uint64_t>(n);
        if (head->kept && *read_so_far <= HEAD_KEPT_LIMIT) {
            head->bytes.append(piece, static_cast<size_t>(n));
            continue;
        }
        head->kept = false;
        for (uint64_t i = std::max(from, signature_at); i < *read_so_far && i < signature_at + 4; ++i) {
            head->signature[i - signature_at] = static_cast<uint8_t>(piece[i - from]);
            head->has_signature = i == signature_at + 3;
        }
    }
    return ReadResult::Ok;
}

}  // namespace

ReadResult read_head(struct archive *a, struct archive_entry *entry, Budget &budget, MemberHead *head,
                     std::string *error)
{
    const bool size_known = archive_entry_size_is_set(entry) != 0 && archive_entry_size(entry) >= 0;
    const uint64_t declared = size_known ? static_cast<uint64_t>(archive_entry_size(entry)) : 0;
    uint64_t read_so_far = 0;
    // Of a member of unknown size, enough to rate it as any larger size would rate,
    // and enough for the look that decides on archive detection.
    static_assert(SNIFF_SPAN >= RULES_HEAD_SPAN && SNIFF_SPAN > INFECTED_MIN_SIZE, "one head serves both");
    uint64_t want = SNIFF_SPAN;
    ReadResult r = read_to(a, budget, want, UINT64_MAX, head, &read_so_far, error);
    uint32_t place = 0;
    const uint32_t head_size = static_cast<uint32_t>(std::min<size_t>(head->bytes.size(), RULES_HEAD_SPAN));
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(head->bytes.data());
    if (r == ReadResult::Ok && pe_signature_offset(bytes, head_size, size_known ? declared : UINT64_MAX, &place) &&
        place > RULES_HEAD_SPAN - 4) {
        // The signature lies past the head: read on to it (and, size unknown,
        // far enough to know that it lies below size - 248).
        want = static_cast<uint64_t>(place) + 4 + (size_known ? 0 : 248);
        r = read_to(a, budget, want, place, head, &read_so_far, error);
    }
    head->size = size_known ? declared : read_so_far;
    return r;
}

ScanVerdict rate_head(const MemberHead &head)
{
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(head.bytes.data());
    const uint32_t head_size = static_cast<uint32_t>(std::min<size_t>(head.bytes.size(), RULES_HEAD_SPAN));
    uint32_t place = 0;
    const uint8_t *signature = nullptr;
    if (pe_signature_offset(bytes, head_size, head.size, &place) && place > RULES_HEAD_SPAN - 4) {
        if (head.has_signature)
            signature = head.signature;
        else if (static_cast<uint64_t>(place) + 4 <= head.bytes.size())
            signature = bytes + place;
        else
            return Clean;  // the member ends before its PE signature
    }
    return rate_file(bytes, head_size, head.size, signature);
}

std::string format_name(struct archive *a, const Source &src)
{
    switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP:
        return src.base == 0 && src.start.compare(0, 2, "PK") == 0 ? "ZIP" : "self-extracting ZIP";
    case ARCHIVE_FORMAT_TAR: return "tar";
    case ARCHIVE_FORMAT_ISO9660: return "ISO 9660";
    case ARCHIVE_FORMAT_CAB: return "CAB";
    case ARCHIVE_FORMAT_7ZIP: return "7z";
    case ARCHIVE_FORMAT_RAR:
    case ARCHIVE_FORMAT_RAR_V5: return "RAR";
    case ARCHIVE_FORMAT_LHA: return "LHA";
    case ARCHIVE_FORMAT_CPIO: return "cpio";
    case ARCHIVE_FORMAT_AR: return "ar";
    case ARCHIVE_FORMAT_XAR: return "XAR";
    case ARCHIVE_FORMAT_RAW: return archive_filter_name(a, 0);
    default: return archive_format_name(a) != nullptr ? archive_format_name(a) : "unknown";
    }
}

bool can_rewrite(struct archive *a, const Source &src)
{
    const int format = archive_format(a) & ARCHIVE_FORMAT_BASE_MASK;
    // The program in front of an archive appended to it would be lost.
    if (src.base != 0)
        return false;
    if (format == ARCHIVE_FORMAT_ZIP)
        return src.start.compare(0, 2, "PK") == 0;
    if (format != ARCHIVE_FORMAT_TAR || archive_filter_count(a) > 2)
        return false;
    const int filter = archive_filter_code(a, 0);
    return filter == ARCHIVE_FILTER_NONE || filter == ARCHIVE_FILTER_GZIP || filter == ARCHIVE_FILTER_BZIP2 ||
           filter == ARCHIVE_FILTER_XZ;
}

bool skip_decodes(struct archive *a, const Source &src, struct archive_entry *entry)
{
    switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_7ZIP:
    case ARCHIVE_FORMAT_RAR:
    case ARCHIVE_FORMAT_RAR_V5:
    case ARCHIVE_FORMAT_CAB: return true;
    // Read as a stream, a member whose sizes follow its data is inflated to find its end.
    case ARCHIVE_FORMAT_ZIP: return src.fd < 0 && archive_entry_size_is_set(entry) == 0;
    default: return false;
    }
}

bool drain_member(struct archive *a, Budget &budget)
{
    std::vector<char> piece(PIECE);
    la_ssize_t n;
    while ((n = read_member(a, budget, piece.data(), piece.size())) > 0) {
    }
    return !budget.exceeded;
}

bool zip_stream_names(int fd, uint64_t size, Budget &budget, std::vector<NameKey> *names, size_t limit)
{
    Source src;
    src.fd = fd;
    src.size = size;
    src.budget = &budget;
    ArchiveReader a(archive_read_new(), archive_read_free);
    archive_read_support_format_zip_streamable(a.get());
    archive_read_set_callback_data(a.get(), &src);
    archive_read_set_read_callback(a.get(), read_disk);
    if (archive_read_open1(a.get()) != ARCHIVE_OK)
        return false;
    struct archive_entry *entry = nullptr;
    int r = ARCHIVE_OK;
    while (names->size() < limit && ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK ||
                                     r == ARCHIVE_WARN)) {
        names->push_back(name_key(member_name(entry)));
        if (archive_entry_size_is_set(entry) == 0 && !drain_member(a.get(), budget))
            return false;
    }
    return r == ARCHIVE_EOF || names->size() == limit;
}

bool zip_entries_agree(int fd, uint64_t size, Budget &budget)
{
    Source src;
    src.fd = fd;
    src.size = size;
    src.budget = &budget;
    src.concatenated = false;
    ArchiveReader a(nullptr, archive_read_free);
    std::string error;
    if (open_archive(src, &a, &error) != Opened::Archive)
        return false;
    std::vector<NameKey> listed, streamed;
    struct archive_entry *entry = nullptr;
    int r = ARCHIVE_OK;
    while (listed.size() < MAX_ENTRIES &&
           ((r = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || r == ARCHIVE_WARN))
        listed.push_back(name_key(member_name(entry)));
    return r == ARCHIVE_EOF && zip_stream_names(fd, size, budget, &streamed) && streamed == listed;
}

NameKey name_key(const std::string &name)
{
    return {std::hash<std::string>()(name), name.size()};
}

std::string shortened(const std::string &name)
{
    return name.size() <= MAX_NAME_KEPT ? name : name.substr(0, MAX_NAME_KEPT) + "...";
}

std::string member_name(struct archive_entry *entry)
{
    const char *utf8 = archive_entry_pathname_utf8(entry);
    const char *name = utf8 != nullptr ? utf8 : archive_entry_pathname(entry);
    return name != nullptr ? name : "";
}

bool is_member(struct archive_entry *entry)
{
    const auto type = archive_entry_filetype(entry);
    if (type == AE_IFDIR || type == AE_IFLNK)
        return false;
    if (type == AE_IFREG && archive_entry_hardlink(entry) == nullptr)
        return true;
    // A FIFO or device that carries data (7-Zip writes it out as a file), or a
    // hard link that carries its own data: what an extractor writes is rated.
    return archive_entry_size_is_set(entry) == 0 || archive_entry_size(entry) > 0;
}
