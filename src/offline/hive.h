// A registry hive read into memory and opened with hivex, which does every
// read and write of the hive format; and the few registry operations the
// repairs need, over it.
#ifndef VESKACURE_OFFLINE_HIVE_H
#define VESKACURE_OFFLINE_HIVE_H

#include <stdint.h>

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <hivex.h>

#include "offline/posix_file.h"

struct HiveCloser {
    void operator()(hive_h *h) const { hivex_close(h); }
};

struct Hive {
    UniqueFd bytes;  // a memory file with the hive as read: hivex opens it, not the examined file
    uint64_t size = 0;
    bool closed_cleanly = false;  // its two sequence numbers are equal
    std::unique_ptr<hive_h, HiveCloser> h;
};

// Reads the open hive file fd into memory and opens it; writable lets the
// repairs change it in memory.
bool load_hive(int fd, bool writable, Hive *hive, std::string *error);

// The hive with the repairs made in it, as hivex writes it, in a new memory file.
bool commit_hive(Hive &hive, UniqueFd *bytes, uint64_t *size, std::string *error);

// The key at path (names separated by "\", matched case-insensitively) below
// from. 0 when there is none, or with *error when the hive cannot be read.
hive_node_h find_key(hive_h *h, hive_node_h from, std::string_view path, std::string *error);

struct RawValue {
    uint32_t type = 0;  // REG_SZ 1, REG_EXPAND_SZ 2, REG_BINARY 3; for some values a count
    std::string data;
    std::string name;  // as the hive spells it (names match in any case)
};

// The value name ("" for the default) of key. False when it is missing
// (error empty) or cannot be read.
bool get_value(hive_h *h, hive_node_h key, const char *name, RawValue *value, std::string *error);
bool set_value(hive_h *h, hive_node_h key, const std::string &name, const RawValue &value, std::string *error);

// The names of the values of key.
bool value_names(hive_h *h, hive_node_h key, std::vector<std::string> *names, std::string *error);

// Deletes the values of key whose names are in names (compared ignoring ASCII
// case); every other value stays as it is.
bool delete_values(hive_h *h, hive_node_h key, const std::set<std::string> &names, std::string *error);

// Deletes key and everything below it.
bool delete_key(hive_h *h, hive_node_h key, std::string *error);

// A REG_SZ value's characters as a program reads them: up to the first NUL and
// at most max_chars, each UTF-16 unit outside ASCII as "?".
std::string utf16_ascii(std::string_view data, size_t max_chars);

// text (ASCII) in UTF-16LE with its terminating NUL, as REG_SZ values hold it.
std::string utf16_value(std::string_view text);

#endif
