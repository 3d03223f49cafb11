#include "offline/hive.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hive offsets are 32-bit; real hives stay far below this.
const uint64_t MAX_HIVE_SIZE = uint64_t(1) << 30;

// Windows keeps keys at most 512 levels deep; a key deleted by the repairs
// holds a few subkeys at most.
const size_t MAX_KEY_DEPTH = 512, MAX_KEYS_DELETED = 10000;

// A memory file reached by name, for hivex, which opens hives by name.
UniqueFd memory_file(std::string *error)
{
    UniqueFd fd(memfd_create("veskacure-hive", MFD_CLOEXEC));
    if (!fd)
        *error = failure("cannot hold the registry hive in memory");
    return fd;
}

std::string name_of(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

struct Freed {
    void operator()(void *p) const { free(p); }
};

// hivex answers 0 (or null) both for "none" and for an error, which alone sets errno.
std::string read_failure()
{
    return failure("registry hive cannot be read");
}

}  // namespace

bool load_hive(int fd, bool writable, Hive *hive, std::string *error)
{
    hive->bytes = memory_file(error);
    if (!hive->bytes)
        return false;
    bool fits = true, copied = true;
    hive->size = 0;
    const bool read = read_pieces(fd, [&](const char *bytes, size_t count) {
        fits = hive->size + count <= MAX_HIVE_SIZE;
        copied = fits && pwrite_exactly(hive->bytes.get(), bytes, count, hive->size);
        hive->size += count;
        return copied;
    });
    if (!fits) {
        *error = "too large for a registry hive";
        return false;
    }
    if (!read) {
        *error = copied ? failure("cannot read") : failure("cannot hold the registry hive in memory");
        return false;
    }
    // The sequence numbers at 4 and 8 differ while Windows has the hive open, and
    // after a crash until its .LOG files are applied.
    char header[12];
    hive->closed_cleanly =
        pread_exactly(hive->bytes.get(), header, sizeof header, 0) && memcmp(header + 4, header + 8, 4) == 0;
    errno = 0;
    hive->h.reset(hivex_open(name_of(hive->bytes.get()).c_str(), writable ? HIVEX_OPEN_WRITE : 0));
    if (!hive->h) {
        // hivex says ENOTSUP or EINVAL for what is no hive it understands; the rest is ours.
        const bool damaged = errno == 0 || errno == ENOTSUP || errno == EINVAL || errno == EFAULT;
        *error = damaged ? "registry hive cannot be read (damaged or cut short)"
                         : failure("cannot open the registry hive in memory");
        return false;
    }
    return true;
}

bool commit_hive(Hive &hive, UniqueFd *bytes, uint64_t *size, std::string *error)
{
    *bytes = memory_file(error);
    if (!*bytes)
        return false;
    struct stat st;
    if (hivex_commit(hive.h.get(), name_of(bytes->get()).c_str(), 0) != 0 || fstat(bytes->get(), &st) != 0) {
        *error = failure("cannot write the registry hive in memory");
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

hive_node_h find_key(hive_h *h, hive_node_h from, std::string_view path, std::string *error)
{
    hive_node_h node = from;
    while (node != 0 && !path.empty()) {
        const size_t slash = path.find('\\');
        const std::string name(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (name.empty())
            continue;
        errno = 0;
        node = hivex_node_get_child(h, node, name.c_str());
        if (node == 0 && errno != 0)
            *error = read_failure();
    }
    return node;
}

bool get_value(hive_h *h, hive_node_h key, const char *name, RawValue *value, std::string *error)
{
    errno = 0;
    const hive_value_h found = hivex_node_get_value(h, key, name);
    if (found == 0) {
        if (errno != 0)
            *error = read_failure();
        return false;
    }
    hive_type type;
    size_t length = 0;
    std::unique_ptr<char, Freed> data(hivex_value_value(h, found, &type, &length));
    std::unique_ptr<char, Freed> spelt(hivex_value_key(h, found));
    if (!data || !spelt) {
        *error = read_failure();
        return false;
    }
    value->type = static_cast<uint32_t>(type);
    value->data.assign(data.get(), length);
    value->name = spelt.get();
    return true;
}

bool set_value(hive_h *h, hive_node_h key, const std::string &name, const RawValue &value, std::string *error)
{
    std::string name_copy = name, data = value.data;
    const hive_set_value set = {name_copy.data(), static_cast<hive_type>(value.type), data.size(), data.data()};
    if (hivex_node_set_value(h, key, &set, 0) != 0) {
        *error = failure("cannot change the registry hive in memory");
        return false;
    }
    return true;
}

bool value_names(hive_h *h, hive_node_h key, std::vector<std::string> *names, std::string *error)
{
    std::unique_ptr<hive_value_h, Freed> values(hivex_node_values(h, key));
    if (!values) {
        *error = read_failure();
        return false;
    }
    for (const hive_value_h *v = values.get(); *v != 0; ++v) {
        std::unique_ptr<char, Freed> name(hivex_value_key(h, *v));
        if (!name) {
            *error = read_failure();
            return false;
        }
        names->push_back(name.get());
    }
    return true;
}

bool delete_values(hive_h *h, hive_node_h key, const std::set<std::string> &names, std::string *error)
{
    std::vector<std::string> all;
    if (!value_names(h, key, &all, error))
        return false;
    // hivex sets a key's values all at once: those that stay are set again, unchanged.
    std::vector<std::pair<std::string, RawValue>> kept;
    for (const std::string &name : all) {
        bool named = false;
        for (const std::string &gone : names)
            named = named || strcasecmp(gone.c_str(), name.c_str()) == 0;
        RawValue value;
        if (named)
            continue;
        if (!get_value(h, key, name.c_str(), &value, error)) {
            if (error->empty())
                *error = "registry value " + name + " cannot be read";
            return false;
        }
        kept.emplace_back(name, value);
    }
    if (kept.size() == all.size())
        return true;
    std::vector<hive_set_value> set;
    for (auto &[name, value] : kept)
        set.push_back({name.data(), static_cast<hive_type>(value.type), value.data.size(), value.data.data()});
    if (hivex_node_set_values(h, key, set.size(), set.data(), 0) != 0) {
        *error = failure("cannot change the registry hive in memory");
        return false;
    }
    return true;
}

bool delete_key(hive_h *h, hive_node_h key, std::string *error)
{
    // hivex deletes a key's subkeys by recursion, one stack frame per level: a
    // crafted hive's deep chain would overflow the stack. The tree is first
    // walked here, iteratively, and deleted only within Windows' own bounds.
    std::vector<std::pair<hive_node_h, size_t>> pending{{key, 0}};
    size_t keys = 0;
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        if (++keys > MAX_KEYS_DELETED || depth > MAX_KEY_DEPTH) {
            *error = "registry key to delete more than " + std::to_string(MAX_KEY_DEPTH) + " levels deep or with more "
                     "than " + std::to_string(MAX_KEYS_DELETED) + " subkeys";
            return false;
        }
        std::unique_ptr<hive_node_h, Freed> children(hivex_node_children(h, node));
        if (!children) {
            *error = read_failure();
            return false;
        }
        for (const hive_node_h *child = children.get(); *child != 0; ++child)
            pending.emplace_back(*child, depth + 1);
    }
    if (hivex_node_delete_child(h, key) != 0) {
        *error = failure("cannot change the registry hive in memory");
        return false;
    }
    return true;
}

std::string utf16_ascii(std::string_view data, size_t max_chars)
{
    std::string text;
    for (size_t i = 0; i + 1 < data.size() && text.size() < max_chars; i += 2) {
        const unsigned unit = static_cast<unsigned char>(data[i]) | static_cast<unsigned char>(data[i + 1]) << 8;
        if (unit == 0)
            break;
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text;
}

std::string utf16_value(std::string_view text)
{
    std::string data;
    for (char c : text) {
        data += c;
        data += '\0';
    }
    data.append(2, '\0');
    return data;
}
