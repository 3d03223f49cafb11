#include "offline/vm_image.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include <nlohmann/json.hpp>

#include "offline/image_attach.h"
#include "offline/posix_file.h"

namespace {

// The signatures QEMU's drivers probe for, at their offsets. A fixed VHD is a
// raw disk with a footer: libblkid finds its partition table as in any raw image.
struct Signature {
    const char *format;
    uint64_t offset;
    const char *bytes;
    size_t length;
};
const Signature SIGNATURES[] = {
    {"qcow2", 0, "QFI\xfb", 4},
    {"vmdk", 0, "KDMV", 4},
    {"vmdk", 0, "# Disk DescriptorFile", 21},
    {"vhdx", 0, "vhdxfile", 8},
    {"vdi", 0x40, "\x7f\x10\xda\xbe", 4},
    {"vpc", 0, "conectix", 8},
};

const char *const SHOWN[][2] = {{"qcow2", "qcow2"}, {"vmdk", "VMDK"}, {"vhdx", "VHDX"}, {"vdi", "VDI"}, {"vpc", "VHD"}};

void sleep_ms(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

std::string failed(const std::string &what, int error = errno)
{
    return what + ": " + strerror(error);
}

// qemu's options are separated by commas: a comma in a value is written twice.
std::string option_value(const std::string &value)
{
    std::string doubled;
    for (char c : value)
        doubled += c == ',' ? std::string(",,") : std::string(1, c);
    return doubled;
}

}  // namespace

std::string vm_image_format(int fd, uint64_t size)
{
    char header[VM_IMAGE_MIN_SIZE];
    if (size < sizeof header || !pread_exactly(fd, header, sizeof header, 0))
        return "";
    for (const Signature &signature : SIGNATURES)
        if (memcmp(header + signature.offset, signature.bytes, signature.length) == 0)
            return signature.format;
    return "";
}

std::string vm_format_shown(const std::string &format)
{
    for (const auto &shown : SHOWN)
        if (format == shown[0])
            return shown[1];
    return format;
}

std::string vm_images_unavailable()
{
    const std::string raw = images_unavailable();
    if (!raw.empty())
        return raw;
    if (!on_path("qemu-storage-daemon"))
        return "qemu-storage-daemon is not installed (qemu-system-common)";
    if (!on_path("qemu-img"))
        return "qemu-img is not installed (qemu-utils)";
    return "";
}

namespace {

// What qemu-img info says of the image, as JSON; null when it says nothing readable.
nlohmann::json image_info(const std::string &image_path, const std::string &format, std::string *error)
{
    UniqueFd said(memfd_create("qemu-img", MFD_CLOEXEC));
    if (!said) {
        *error = failed("cannot run qemu-img");
        return nullptr;
    }
    const pid_t child = fork();
    if (child < 0) {
        *error = failed("cannot run qemu-img");
        return nullptr;
    }
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(said.get(), STDOUT_FILENO);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execlp("qemu-img", "qemu-img", "info", "--output=json", "-U", "-f", format.c_str(), image_path.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::string text;
    read_pieces(said.get(), [&text](const char *bytes, size_t count) {
        text.append(bytes, count);
        return true;
    });
    nlohmann::json info = nlohmann::json::parse(text, nullptr, false);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !info.is_object()) {
        *error = "qemu-img cannot read it";
        return nullptr;
    }
    return info;
}

}  // namespace

bool vm_image_alone(const std::string &image_path, const std::string &format, std::string *error)
{
    const nlohmann::json info = image_info(image_path, format, error);
    if (info.is_null())
        return false;
    if (info.contains("backing-filename")) {
        *error = "it builds on a backing file: not opened (convert it with qemu-img convert first)";
        return false;
    }
    const nlohmann::json data = info.value("format-specific", nlohmann::json::object()).value("data", nlohmann::json::object());
    if (data.contains("data-file")) {
        *error = "its data lie in another file: not opened (convert it with qemu-img convert first)";
        return false;
    }
    // A VMDK may name its extents anywhere, and a name checked now could lead
    // elsewhere when the daemon opens it: only the image file itself is read
    // (and written), as in a single-file VMDK.
    struct stat image, st;
    if (stat(image_path.c_str(), &image) != 0) {
        *error = failed("cannot examine the image");
        return false;
    }
    for (const nlohmann::json &extent : data.value("extents", nlohmann::json::array())) {
        const std::string name = extent.is_object() ? extent.value("filename", "") : "";
        if (stat(name.c_str(), &st) != 0 || st.st_dev != image.st_dev || st.st_ino != image.st_ino) {
            *error = "its data lie in other files: not opened (convert it to a single file with qemu-img convert "
                     "first): " + name;
            return false;
        }
    }
    return true;
}

bool ExportedImage::start(const std::string &image_path, int image_fd, const std::string &format, bool writable,
                          std::string *error)
{
    stop();
    if (!enter_own_mount_namespace(error))
        return false;
    // Opened once, without following a link (or the descriptor it was examined
    // through kept): qemu-img and the daemon are given this descriptor's /proc
    // path, so that what was checked is what is written, whatever the name
    // leads to by then.
    if (image_fd >= 0) {
        image_fd_.reset(fcntl(image_fd, F_DUPFD_CLOEXEC, 0));
    } else {
        image_fd_.reset(open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOATIME));
        if (!image_fd_ && errno == EPERM)
            image_fd_.reset(open(image_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    }
    if (!image_fd_ || fstat(image_fd_.get(), &before_) != 0 || !S_ISREG(before_.st_mode)) {
        *error = image_fd_ ? "cannot examine the image: not a regular file" : failed("cannot examine the image");
        image_fd_.reset();
        return false;
    }
    const std::string opened = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(image_fd_.get());
    writable_ = writable;
    if (!vm_image_alone(opened, format, error)) {
        stop();
        return false;
    }
    if (!make_private_folder(&top_, error)) {
        stop();
        return false;
    }
    raw_ = top_ + "/disk";
    UniqueFd empty(open(raw_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!empty) {
        *error = failed("cannot make a file for its raw view");
        raw_.clear();
        stop();
        return false;
    }
    empty.reset();
    const std::string read_only = writable ? "off" : "on";
    const std::string file = "driver=file,node-name=file,read-only=" + read_only + ",filename=" + option_value(opened);
    const std::string disk = "driver=" + format + ",node-name=disk,file=file,read-only=" + read_only;
    const std::string exported = "type=fuse,id=raw,node-name=disk,writable=" + std::string(writable ? "on" : "off") +
                                 ",mountpoint=" + option_value(raw_);
    // As ntfs-3g: out of reach of a Ctrl+C meant for this process, gone when it dies.
    if (!start_driver({"qemu-storage-daemon", "--blockdev", file, "--blockdev", disk, "--export", exported}, raw_,
                      top_, "open", &daemon_, error)) {
        stop();
        return false;
    }
    mounted_ = true;
    return true;
}

bool ExportedImage::stop(std::string *error)
{
    std::string problem;
    // Asked to end, the daemon writes out what it holds, unmounts its export and exits.
    if (daemon_ > 0)
        kill(daemon_, SIGTERM);
    for (int waited = 0; daemon_ > 0; waited += 10) {
        int status = 0;
        const pid_t ended = waitpid(daemon_, &status, WNOHANG);
        if (ended == daemon_ || (ended < 0 && errno == ECHILD)) {
            if (ended == daemon_ && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
                problem = "qemu-storage-daemon did not end cleanly";
            daemon_ = -1;
            break;
        }
        if (waited == 60000)
            kill(daemon_, SIGKILL);
        sleep_ms(10);
    }
    if (mounted_)
        umount2(raw_.c_str(), MNT_DETACH);  // already gone when the daemon ended cleanly
    mounted_ = false;
    if (!raw_.empty())
        unlink(raw_.c_str());
    if (!top_.empty())
        rmdir(top_.c_str());
    // A report leaves the image's times as they were: QEMU reads it without O_NOATIME.
    struct stat now;
    if (!writable_ && image_fd_ && fstat(image_fd_.get(), &now) == 0 && now.st_mtim.tv_sec == before_.st_mtim.tv_sec &&
        now.st_mtim.tv_nsec == before_.st_mtim.tv_nsec &&
        (now.st_atim.tv_sec != before_.st_atim.tv_sec || now.st_atim.tv_nsec != before_.st_atim.tv_nsec)) {
        const struct timespec times[2] = {before_.st_atim, {0, UTIME_OMIT}};
        futimens(image_fd_.get(), times);
    }
    image_fd_.reset();
    raw_.clear();
    top_.clear();
    if (error != nullptr)
        *error = problem;
    return problem.empty();
}
