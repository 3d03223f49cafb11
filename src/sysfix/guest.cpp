// Step IV on the NT family: the worm makes the Guest account an administrator
// and enables it; the account is taken out of Administrators and disabled.
#include "sysfix/sysfix.h"

#include <windows.h>

#include "platform/platform.h"

// Declared here rather than taken from the LAN Manager headers: one field each.
struct LocalGroupMembersInfo3 {
    wchar_t *domain_and_name;
};

struct UserInfo1008 {
    DWORD flags;
};

const DWORD UF_SCRIPT = 0x1;
const DWORD UF_ACCOUNTDISABLE = 0x2;

typedef DWORD(WINAPI *NetUserSetInfoFn)(const wchar_t *server, const wchar_t *user, DWORD level,
                                        BYTE *info, DWORD *parameter_error);
typedef DWORD(WINAPI *NetLocalGroupDelMembersFn)(const wchar_t *server, const wchar_t *group,
                                                 DWORD level, BYTE *members, DWORD count);

int lock_guest_account(void)
{
    HMODULE library = LoadLibraryA("NETAPI32.DLL");
    if (library == NULL) {
        out("\n\tUnable to load NETAPI32.DLL.");
        return -1;
    }
    static const char *const names[] = {"NetUserSetInfo", "NetLocalGroupDelMembers"};
    FARPROC entries[2];
    int result = -1;
    if (bind_entry_points(library, names, entries, 2)) {
        NetUserSetInfoFn set_info = bound_entry<NetUserSetInfoFn>(entries[0]);
        NetLocalGroupDelMembersFn del_members = bound_entry<NetLocalGroupDelMembersFn>(entries[1]);

        // An empty domain part and the account name: the local guest.
        wchar_t member[] = L"\\guest";
        LocalGroupMembersInfo3 membership = {member};
        if (del_members(NULL, L"Administrators", 3, reinterpret_cast<BYTE *>(&membership), 1) == 0)
            out("\n\tRemoved user \"GUEST\" from Administrators group\n");

        // The flag word is set outright, not merged with the account's flags:
        // whatever the worm set besides is dropped with it.
        UserInfo1008 disabled = {UF_SCRIPT | UF_ACCOUNTDISABLE};
        if (set_info(NULL, L"GUEST", 1008, reinterpret_cast<BYTE *>(&disabled), NULL) == 0) {
            out("\n\tDisabled user \"GUEST\"\n");
            result = 0;
        } else {
            out("\n\tCan't set user information \"GUEST\"\n");
        }
    }
    FreeLibrary(library);
    return result;
}
