// What the worm changes in the registry of a Windows NT installation, found in
// an open hive and, with apply, undone in the hive's memory: the shell entry
// (SOFTWARE, and user hives through a USR: mapping), network shares (SYSTEM)
// and the Guest account (SAM).
#ifndef VESKACURE_OFFLINE_REGISTRY_FIXES_H
#define VESKACURE_OFFLINE_REGISTRY_FIXES_H

#include <string>
#include <vector>

#include "offline/hive.h"
#include "offline/report.h"

struct RegistryFinding {
    Kind kind;
    std::string key;     // as Windows names it: HKLM\SOFTWARE\...\Shell
    std::string detail;  // guest: what is open
};

// Each answers false with *error when a value is not as Windows keeps it; the
// hive is then not written.

// The shell entry where IniFileMapping sends it: keys of this hive (SYS:),
// also as a 32-bit program sees them below Wow6432Node; a USR: mapping's key
// path is added to user_keys, for the user hives of the same disk.
bool fix_software_shell(hive_h *h, bool apply, std::vector<RegistryFinding> *found,
                        std::vector<std::string> *user_keys, std::string *error);

// The shell entry at each of user_keys in a user hive; hku names the hive in
// the keys reported (HKU\<hku>\...).
bool fix_user_shell(hive_h *h, const std::vector<std::string> &user_keys, const std::string &hku, bool apply,
                    std::vector<RegistryFinding> *found, std::string *error);

// Every share of every ControlSetNNN: with apply, its value and that of its
// security descriptor are deleted.
bool fix_shares(hive_h *h, bool apply, std::vector<RegistryFinding> *found, std::string *error);

// The Guest account (rid 501) as a member of Administrators, or enabled: with
// apply, taken out of the alias and disabled.
bool fix_guest(hive_h *h, bool apply, std::vector<RegistryFinding> *found, std::string *error);

#endif
