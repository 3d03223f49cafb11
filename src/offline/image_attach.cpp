#include "offline/image_attach.h"

#include <blkid/blkid.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>

namespace {

// The file systems looked for in each partition: those a Windows disk holds
// and the common ones it may sit beside, which are named and passed over.
const char *FILE_SYSTEMS[] = {"ntfs", "vfat", "exfat", "ext2", "ext3", "ext4", "ext4dev", "xfs", "btrfs",
                              "hfs", "hfsplus", "apfs", "refs", "swap", nullptr};

using Probe = std::unique_ptr<blkid_struct_probe, void (*)(blkid_probe)>;

std::string failed(const std::string &what, int error = errno)
{
    return what + ": " + strerror(error);
}

void sleep_ms(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// The file system at [offset, offset + size) of fd: its type and UUID.
void probe_file_system(int fd, ImagePartition *partition)
{
    Probe probe(blkid_new_probe(), blkid_free_probe);
    if (!probe || blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(partition->offset),
                                         static_cast<blkid_loff_t>(partition->size)) != 0)
        return;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_filter_superblocks_type(probe.get(), BLKID_FLTR_ONLYIN, const_cast<char **>(FILE_SYSTEMS));
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_UUID);
    if (blkid_do_safeprobe(probe.get()) != 0)
        return;
    const char *value = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "TYPE", &value, nullptr) == 0)
        partition->type = value;
    if (blkid_probe_lookup_value(probe.get(), "UUID", &value, nullptr) == 0)
        partition->uuid = value;
}

}  // namespace

// The mounts made here live in a mount namespace of this process's own, not
// shared with the one it started in: they are seen by nobody else, and they
// go away with the last process in it (this one and its children, which die
// with it).
bool enter_own_mount_namespace(std::string *error)
{
    static bool entered = false;
    if (entered)
        return true;
    if (unshare(CLONE_NEWNS) != 0) {
        *error = failed("cannot make a mount namespace of its own");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *error = failed("cannot make the mounts private");
        return false;
    }
    entered = true;
    return true;
}

namespace {

// A loop device over [offset, offset + size) of backing, detached by the
// kernel once nothing holds it open any more.
UniqueFd attach_loop(int backing, const std::string &name, uint64_t offset, uint64_t size, bool writable,
                     std::string *error)
{
    UniqueFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control) {
        *error = failed("cannot open /dev/loop-control");
        return UniqueFd();
    }
    // Another program may take the free device between the asking and the attaching.
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) {
            *error = failed("no free loop device");
            return UniqueFd();
        }
        const std::string device = "/dev/loop" + std::to_string(number);
        UniqueFd loop(open(device.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
        if (!loop) {
            *error = failed("cannot open " + device);
            return UniqueFd();
        }
        struct loop_config config;
        memset(&config, 0, sizeof config);
        config.fd = static_cast<uint32_t>(backing);
        config.info.lo_offset = offset;
        config.info.lo_sizelimit = size;
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (writable ? 0 : LO_FLAGS_READ_ONLY);
        strncpy(reinterpret_cast<char *>(config.info.lo_file_name), name.c_str(), LO_NAME_SIZE - 1);
        if (ioctl(loop.get(), LOOP_CONFIGURE, &config) == 0)
            return loop;
        if (errno != EBUSY) {
            *error = failed("cannot attach a loop device");
            return UniqueFd();
        }
    }
    *error = "no free loop device";
    return UniqueFd();
}

// The first line a driver wrote, for the reason it gave up.
std::string first_line(int fd)
{
    char text[512];
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    std::string line(text, n > 0 ? static_cast<size_t>(n) : 0);
    line = line.substr(0, line.find('\n'));
    return line;
}

}  // namespace

bool make_private_folder(std::string *folder, std::string *error)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/veskacure-offline.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        *error = failed("cannot make a private folder");
        return false;
    }
    std::unique_ptr<char, void (*)(void *)> real(realpath(pattern.c_str(), nullptr), free);
    *folder = real ? real.get() : pattern;
    return true;
}

bool on_path(const char *program)
{
    const char *path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t begin = 0; begin <= folders.size();) {
        size_t end = folders.find(':', begin);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > begin ? folders.substr(begin, end - begin) : ".";
        if (access((folder + "/" + program).c_str(), X_OK) == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

bool start_driver(const std::vector<std::string> &argv, const std::string &folder, const std::string &above,
                  const char *doing, pid_t *pid, std::string *error)
{
    // Everything the child needs is made before the fork: between fork and
    // exec a process with threads may call only what is safe in a signal handler.
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    const std::string name = argv[0];
    UniqueFd said(memfd_create(name.c_str(), MFD_CLOEXEC));
    struct stat above_st, folder_st;
    if (stat(above.c_str(), &above_st) != 0) {
        *error = failed("cannot examine " + above);
        return false;
    }
    const pid_t parent = getpid();
    *pid = fork();
    if (*pid < 0) {
        *error = failed("cannot start " + name);
        return false;
    }
    if (*pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        if (said) {
            dup2(said.get(), STDOUT_FILENO);
            dup2(said.get(), STDERR_FILENO);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    // Served once the folder is on a volume of its own; the driver ending first failed.
    for (int waited = 0;; waited += 10) {
        if (stat(folder.c_str(), &folder_st) == 0 && folder_st.st_dev != above_st.st_dev)
            return true;
        int status = 0;
        if (waitpid(*pid, &status, WNOHANG) == *pid) {
            *pid = -1;
            const std::string text = said ? first_line(said.get()) : "";
            *error = name + " could not " + doing + " it" + (text.empty() ? "" : ": " + text);
            return false;
        }
        if (waited >= 60000) {
            *error = name + " did not " + doing + " it within a minute";
            return false;
        }
        sleep_ms(10);
    }
}

bool image_partitions(int fd, uint64_t size, std::vector<ImagePartition> *partitions, std::string *error)
{
    partitions->clear();
    Probe probe(blkid_new_probe(), blkid_free_probe);
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, static_cast<blkid_loff_t>(size)) != 0) {
        *error = "cannot probe the image";
        return false;
    }
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    const int count = list != nullptr ? blkid_partlist_numof_partitions(list) : -1;
    if (count <= 0) {
        ImagePartition whole;
        whole.size = size;
        probe_file_system(fd, &whole);
        if (!whole.type.empty())
            partitions->push_back(whole);
        return true;
    }
    const uint64_t sector = 512;  // libblkid gives partitions in 512-byte sectors
    for (int i = 0; i < count; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (part == nullptr || blkid_partition_is_extended(part))
            continue;
        ImagePartition partition;
        partition.number = blkid_partition_get_partno(part);
        partition.offset = static_cast<uint64_t>(blkid_partition_get_start(part)) * sector;
        partition.size = static_cast<uint64_t>(blkid_partition_get_size(part)) * sector;
        if (partition.offset >= size)
            continue;
        partition.size = std::min(partition.size, size - partition.offset);
        probe_file_system(fd, &partition);
        partitions->push_back(partition);
    }
    return true;
}

std::string images_unavailable()
{
    if (geteuid() != 0)
        return "opening an image needs root's rights";
    if (access("/dev/loop-control", R_OK | W_OK) != 0)
        return "no loop devices here (/dev/loop-control)";
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        return "no FUSE here (/dev/fuse)";
    if (!on_path("ntfs-3g"))
        return "ntfs-3g is not installed";
    return "";
}

bool kernel_has_vfat()
{
    std::ifstream systems("/proc/filesystems");
    std::string line;
    while (std::getline(systems, line))
        if (line.size() >= 4 && line.compare(line.size() - 4, 4, "vfat") == 0 &&
            (line.size() == 4 || line[line.size() - 5] == '\t'))
            return true;
    return false;
}

bool AttachedVolume::attach(const std::string &image_path, int image_fd, const ImagePartition &partition,
                            bool writable, std::string *error)
{
    detach();
    if (!enter_own_mount_namespace(error))
        return false;
    // The image is read without moving its access time, so that a report leaves it as it was.
    const int access_mode = writable ? O_RDWR : O_RDONLY;
    UniqueFd backing(reopen_path(image_fd, access_mode | O_CLOEXEC | O_NOATIME));
    if (!backing && errno == EPERM)
        backing.reset(reopen_path(image_fd, access_mode | O_CLOEXEC));
    struct stat examined, opened;
    if (!backing || fstat(image_fd, &examined) != 0 || fstat(backing.get(), &opened) != 0) {
        *error = failed("cannot open the image " + image_path);
        return false;
    }
    if (opened.st_dev != examined.st_dev || opened.st_ino != examined.st_ino) {
        *error = "cannot open the image " + image_path + ": replaced while being examined";
        return false;
    }
    if (!make_private_folder(&top_, error))
        return false;
    folder_ = top_ + "/" + std::to_string(partition.number);
    if (mkdir(folder_.c_str(), 0700) != 0) {
        *error = failed("cannot make a folder to mount it on");
        folder_.clear();
        detach();
        return false;
    }
    loop_ = attach_loop(backing.get(), image_path, partition.offset, partition.size, writable, error);
    if (!loop_) {
        detach();
        return false;
    }
    const std::string device = "/proc/self/fd/" + std::to_string(loop_.get());
    char target[64] = {};
    if (readlink(device.c_str(), target, sizeof target - 1) <= 0) {
        *error = failed("cannot name the loop device");
        detach();
        return false;
    }

    if (partition.type == "vfat") {
        const unsigned long flags = MS_NODEV | MS_NOSUID | MS_NOEXEC | (writable ? 0 : MS_RDONLY);
        if (mount(target, folder_.c_str(), "vfat", flags, nullptr) != 0) {
            *error = failed("cannot mount the FAT volume");
            detach();
            return false;
        }
        mounted_ = true;
        return true;
    }

    // ntfs-3g stays in the foreground as a child of this process.
    const std::string options = std::string("no_detach,nodev,nosuid,noexec") + (writable ? "" : ",ro");
    if (!start_driver({"ntfs-3g", "-o", options, target, folder_}, folder_, top_, "mount", &driver_, error)) {
        detach();
        return false;
    }
    mounted_ = true;
    struct statvfs volume;
    read_only_ = writable && statvfs(folder_.c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0;
    return true;
}

bool AttachedVolume::detach(std::string *error)
{
    std::string problem;
    if (mounted_ && umount2(folder_.c_str(), 0) != 0) {
        problem = failed("cannot unmount " + folder_);
        umount2(folder_.c_str(), MNT_DETACH);
    }
    // A driver that never mounted the volume (given up waiting) is asked to end at once.
    if (!mounted_ && driver_ > 0)
        kill(driver_, SIGTERM);
    mounted_ = false;
    // Unmounted, ntfs-3g ends by itself once it has written everything out.
    for (int waited = 0; driver_ > 0; waited += 10) {
        int status = 0;
        const pid_t ended = waitpid(driver_, &status, WNOHANG);
        if (ended == driver_ || (ended < 0 && errno == ECHILD)) {
            driver_ = -1;
            break;
        }
        if (waited == 30000)
            kill(driver_, SIGTERM);
        else if (waited == 40000)
            kill(driver_, SIGKILL);
        sleep_ms(10);
    }
    if (loop_) {
        // Already detached by the kernel when ntfs-3g closed it last (ENXIO then).
        ioctl(loop_.get(), LOOP_CLR_FD, 0);
        loop_.reset();
    }
    if (!folder_.empty())
        rmdir(folder_.c_str());
    if (!top_.empty())
        rmdir(top_.c_str());
    folder_.clear();
    top_.clear();
    read_only_ = false;
    if (error != nullptr)
        *error = problem;
    return problem.empty();
}
