// bench_offline_floor: the floor for veskacure-offline's report mode. A bare
// walk of each PATH (listing order, symbolic links skipped) that opens every
// regular file of 57,344 bytes or more, maps its first 41,960 bytes read-only,
// touches the pages the rules read, and closes it. No rules, no output but counts.
// With --walk first, the bare walk alone: files are listed and examined, none opened.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static const off_t LARGE_FILE = 0xE000;
static const size_t HEAD = 0xA3E8;

static unsigned long folders, files, large_files, touched;
static bool walk_only;

static void examine(int dir_fd, const char *name)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NOATIME | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size >= LARGE_FILE) {
        void *view = mmap(nullptr, HEAD, PROT_READ, MAP_SHARED, fd, 0);
        if (view != MAP_FAILED) {
            const unsigned char *bytes = static_cast<const unsigned char *>(view);
            touched += bytes[0] + bytes[0x3C] + bytes[0x74D9] + bytes[0x90D0] + bytes[0xA3C8];
            munmap(view, HEAD);
        }
    }
    close(fd);
}

static void walk(int dir_fd)
{
    ++folders;
    int listing = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    DIR *dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (dir == nullptr) {
        if (listing >= 0)
            close(listing);
        return;
    }
    while (const struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || entry->d_type == DT_LNK)
            continue;
        struct stat st;
        if (entry->d_type != DT_DIR && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (entry->d_type == DT_DIR || S_ISDIR(st.st_mode)) {
            int sub = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                walk(sub);
                close(sub);
            }
        } else if (S_ISREG(st.st_mode)) {
            ++files;
            if (st.st_size >= LARGE_FILE) {
                ++large_files;
                if (!walk_only)
                    examine(dir_fd, name);
            }
        }
    }
    closedir(dir);
}

int main(int argc, char **argv)
{
    int first = 1;
    if (argc > 1 && strcmp(argv[1], "--walk") == 0) {
        walk_only = true;
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        int fd = open(argv[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            walk(fd);
            close(fd);
        }
    }
    printf("folders=%lu files=%lu large=%lu touched=%lu\n", folders, files, large_files, touched);
    return 0;
}
