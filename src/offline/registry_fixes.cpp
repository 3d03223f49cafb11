#include "offline/registry_fixes.h"

#include <ctype.h>
#include <string.h>
#include <stdlib.h>
#include <strings.h>

#include <algorithm>
#include <set>

#include "offline/sam_edit.h"
#include "sysfix/shell_entry.h"

namespace {

const uint32_t REG_SZ = 1, REG_EXPAND_SZ = 2;
const char MAPPING_KEY[] = "Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\system.ini\\boot";
const char ACCOUNT_KEY[] = "SAM\\Domains\\Account";
const char GUEST_KEY[] = "000001F5";
const char ADMINISTRATORS_KEY[] = "SAM\\Domains\\Builtin\\Aliases\\00000220";
const char ALIAS_MEMBERS_KEY[] = "SAM\\Domains\\Builtin\\Aliases\\Members\\";

struct Freed {
    void operator()(void *p) const { free(p); }
};

bool is_string(const RawValue &value)
{
    return value.type == REG_SZ || value.type == REG_EXPAND_SZ;
}

bool starts_ignoring_case(const std::string &text, const char *prefix)
{
    return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// A key path as the mapping gives it, without the backslashes around it.
std::string trimmed_path(std::string path)
{
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path.substr(std::min(path.find_first_not_of('\\'), path.size()));
}

// The value Shell of the key at path below base, read as the profile service
// hands it over: a finding when it names the loader. A missing key or value is none.
bool fix_shell_value(hive_h *h, hive_node_h base, const std::string &path, const std::string &windows_name,
                     bool apply, std::vector<RegistryFinding> *found, std::string *error)
{
    const hive_node_h key = find_key(h, base, path, error);
    RawValue value;
    if (key == 0 || !get_value(h, key, "Shell", &value, error))
        return error->empty();
    const std::string name = windows_name + "\\" + path + "\\Shell";
    if (!is_string(value)) {
        *error = name + ": not a string value";
        return false;
    }
    if (!shell_names_loader(utf16_ascii(value.data, SHELL_VALUE_CHARS).c_str()))
        return true;
    found->push_back({Kind::ShellEntry, name, ""});
    return !apply || set_value(h, key, value.name, RawValue{REG_SZ, utf16_value(SHELL_REPAIRED), ""}, error);
}

}  // namespace

bool fix_software_shell(hive_h *h, bool apply, std::vector<RegistryFinding> *found,
                        std::vector<std::string> *user_keys, std::string *error)
{
    const hive_node_h root = hivex_root(h);
    // A 32-bit program on 64-bit Windows (the worm is one) sees HKLM\SOFTWARE below Wow6432Node.
    const hive_node_h wow = find_key(h, root, "Wow6432Node", error);
    if (!error->empty())
        return false;
    const std::pair<hive_node_h, std::string> views[] = {{root, "HKLM\\SOFTWARE"},
                                                         {wow, "HKLM\\SOFTWARE\\Wow6432Node"}};
    for (const auto &[view, windows_name] : views) {
        const hive_node_h boot = view == 0 ? 0 : find_key(h, view, MAPPING_KEY, error);
        RawValue mapping;
        if (boot == 0 || !get_value(h, boot, "Shell", &mapping, error)) {
            if (!error->empty())
                return false;
            continue;  // no mapping: the entry lives in SYSTEM.INI
        }
        const std::string mapping_name = windows_name + "\\" + MAPPING_KEY + "\\Shell";
        std::string target = utf16_ascii(mapping.data, mapping.data.size());
        // Leading "!", "#" and "@" say how the profile service also writes to the file or the default.
        target.erase(0, std::min(target.find_first_not_of("!#@"), target.size()));
        if (!is_string(mapping) || (!starts_ignoring_case(target, "SYS:") && !starts_ignoring_case(target, "USR:"))) {
            *error = mapping_name + ": not a mapping to SYS: or USR:";
            return false;
        }
        const std::string path = trimmed_path(target.substr(4));
        if (starts_ignoring_case(target, "SYS:")) {
            if (!fix_shell_value(h, view, path, windows_name, apply, found, error))
                return false;
            continue;
        }
        bool known = false;
        for (const std::string &key : *user_keys)
            known = known || strcasecmp(key.c_str(), path.c_str()) == 0;
        if (!known)
            user_keys->push_back(path);
    }
    return true;
}

bool fix_user_shell(hive_h *h, const std::vector<std::string> &user_keys, const std::string &hku, bool apply,
                    std::vector<RegistryFinding> *found, std::string *error)
{
    for (const std::string &path : user_keys)
        if (!fix_shell_value(h, hivex_root(h), path, "HKU\\" + hku, apply, found, error))
            return false;
    return true;
}

bool fix_shares(hive_h *h, bool apply, std::vector<RegistryFinding> *found, std::string *error)
{
    std::unique_ptr<hive_node_h, Freed> sets(hivex_node_children(h, hivex_root(h)));
    if (!sets) {
        *error = failure("registry hive cannot be read");
        return false;
    }
    for (const hive_node_h *set = sets.get(); *set != 0; ++set) {
        std::unique_ptr<char, Freed> set_name(hivex_node_name(h, *set));
        if (!set_name) {
            *error = failure("registry hive cannot be read");
            return false;
        }
        // ControlSetNNN: the current set and the one a LastKnownGood start uses.
        const std::string name = set_name.get();
        if (name.size() != 13 || !starts_ignoring_case(name, "ControlSet") || !isdigit(static_cast<unsigned char>(name[10])) ||
            !isdigit(static_cast<unsigned char>(name[11])) || !isdigit(static_cast<unsigned char>(name[12])))
            continue;
        const hive_node_h shares = find_key(h, *set, "Services\\LanmanServer\\Shares", error);
        std::vector<std::string> names;
        if (!error->empty() || (shares != 0 && !value_names(h, shares, &names, error)))
            return false;
        // The key's default value names no share.
        names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
        for (const std::string &share : names)
            found->push_back({Kind::Share, "HKLM\\SYSTEM\\" + name + "\\Services\\LanmanServer\\Shares\\" + share, ""});
        if (!apply || names.empty())
            continue;
        const std::set<std::string> gone(names.begin(), names.end());
        const hive_node_h security = find_key(h, shares, "Security", error);
        if (!error->empty() || !delete_values(h, shares, gone, error) ||
            (security != 0 && !delete_values(h, security, gone, error)))
            return false;
    }
    return true;
}

bool fix_guest(hive_h *h, bool apply, std::vector<RegistryFinding> *found, std::string *error)
{
    const hive_node_h root = hivex_root(h);
    const std::string windows = "HKLM\\SAM\\";
    const hive_node_h account = find_key(h, root, ACCOUNT_KEY, error);
    RawValue v;
    std::string domain;
    if (account == 0 || !get_value(h, account, "V", &v, error) || !domain_sid(v.data, &domain)) {
        if (error->empty())
            *error = windows + ACCOUNT_KEY + "\\V: no domain SID";
        return false;
    }
    const hive_node_h guest = find_key(h, account, std::string("Users\\") + GUEST_KEY, error);
    if (guest == 0)
        return error->empty();  // no Guest account
    const std::string guest_name = windows + ACCOUNT_KEY + "\\Users\\" + GUEST_KEY;
    RawValue f;
    bool disabled = false;
    if (!get_value(h, guest, "F", &f, error) || !account_disabled(f.data, &disabled)) {
        if (error->empty())
            *error = guest_name + "\\F: no account bits";
        return false;
    }
    const std::string guest_sid = account_sid(domain, GUEST_RID);
    const hive_node_h administrators = find_key(h, root, ADMINISTRATORS_KEY, error);
    RawValue c;
    bool in_c = false;
    if (administrators != 0 &&
        (!get_value(h, administrators, "C", &c, error) || !alias_has_member(c.data, guest_sid, &in_c))) {
        if (error->empty())
            *error = windows + ADMINISTRATORS_KEY + "\\C: no member list";
        return false;
    }
    const std::string members_path = ALIAS_MEMBERS_KEY + sid_text(domain) + "\\" + GUEST_KEY;
    const hive_node_h members = find_key(h, root, members_path, error);
    RawValue ids;
    bool in_ids = false;
    if (members != 0 && get_value(h, members, "", &ids, error) &&
        !alias_ids_hold(ids.data, ids.type, ADMINISTRATORS_RID, &in_ids))
        *error = windows + members_path + ": fewer alias ids than its count";
    if (!error->empty())
        return false;
    if (!in_c && !in_ids && disabled)
        return true;
    const char *admin = in_c || in_ids ? "in Administrators" : "";
    found->push_back({Kind::Guest, guest_name, disabled ? admin : *admin ? "in Administrators, enabled" : "enabled"});
    if (!apply)
        return true;
    if (in_c && (!remove_alias_member(&c.data, guest_sid) || !set_value(h, administrators, c.name, c, error)))
        return false;
    if (in_ids) {
        remove_alias_id(&ids.data, &ids.type, ADMINISTRATORS_RID);
        // An account in no alias has no key there (as Windows and chntpw leave it).
        if (ids.type == 0 ? !delete_key(h, members, error) : !set_value(h, members, ids.name, ids, error))
            return false;
    }
    return disabled || (disable_account(&f.data) && set_value(h, guest, f.name, f, error));
}
