// Any bytes as a file on disk offered to the archive examination: every
// format and compression libarchive knows, members rated, nested archives
// opened in turn; and where it finds the worm, --clean's rewrite and its
// read-back. Nothing may crash, hang or read out of bounds, the counts must
// stay within the limits, and what a rewrite hands over must read back as an
// archive without the worm.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "offline/archive.h"
#include "offline/archive_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = memfd_create("archive", MFD_CLOEXEC);
    if (fd < 0)
        abort();
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    // The look that decides on detection, over the same bytes as a file's first ones.
    (void)may_hold_archive(data, size, size);
    // Where a program's image ends, its string table's length read past a
    // 4 KiB head as from the file; the bytes after it looked at as appended.
    const ReadAt read_at = [&](uint64_t offset, uint8_t bytes[4]) {
        if (offset > size || size - offset < 4)
            return false;
        memcpy(bytes, data + offset, 4);
        return true;
    };
    uint64_t end = 0;
    if (program_image_end(data, size < 4096 ? size : 4096, size, read_at, &end) == Program::ImageEnds && end < size)
        (void)recognised_at_start(data + end, static_cast<size_t>(size - end), true);
    ArchiveSurvey survey;
    if (survey_archive(fd, size, "fuzz.zip", &survey)) {
        // Each open archive holds at most MAX_ENTRIES, and nesting stops at MAX_DEPTH.
        if (survey.archives == 0 && survey.not_examined == 0)
            abort();
        if (survey.found > survey.members)
            abort();
    } else if (survey.archives != 0 || survey.members != 0) {
        abort();
    }
    if (survey.found != 0) {
        // --clean: unnamed temporary files in the temporary folder, the lines to /dev/null.
        static const int folder = [] {
            const char *tmp = getenv("TMPDIR");
            if (freopen("/dev/null", "w", stdout) == nullptr)
                abort();
            return open(tmp != nullptr ? tmp : "/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }();
        Output out;
        out.json = true;
        const std::string path = "fuzz.zip";
        const ReplaceArchive replace = [](int replacement, uint64_t replacement_size, std::string *) {
            ArchiveSurvey after;
            if (!survey_archive(replacement, replacement_size, "fuzz.zip", &after) || after.found != 0)
                abort();
            return true;
        };
        examine_archive(out, ArchiveFile{fd, size, path, folder, "fuzz.zip"}, &replace);
    }
    close(fd);
    return 0;
}
