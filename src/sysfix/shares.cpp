// Step II with /UNSHARE: every share of the local machine is deleted, through
// the LAN Manager interface of the platform family, bound at run time.
#include "sysfix/sysfix.h"

#include <windows.h>

#include "platform/platform.h"

// The records and entry points are declared here rather than taken from the
// LAN Manager headers: only the share name of each record is read.

// Level 502 (NT family): a 40-byte record that starts with the UTF-16 name.
struct ShareInfo502 {
    wchar_t *netname;
    DWORD type;
    wchar_t *remark;
    DWORD permissions;
    DWORD max_uses;
    DWORD current_uses;
    wchar_t *path;
    wchar_t *password;
    DWORD reserved;
    void *security_descriptor;
};

static_assert(sizeof(ShareInfo502) == 40, "level-502 records are 40 bytes apart");

// Level 50 (Win9x family): byte-packed 42-byte records that start with the
// 13-byte name; the record's address is its name.
const unsigned SHARE_INFO_50_SIZE = 42;
const unsigned WIN9X_BUFFER_SIZE = 2200;

const DWORD MORE_DATA = 234;  // ERROR_MORE_DATA: a partial answer
const DWORD MAX_PREFERRED_LENGTH = 0xFFFFFFFF;

typedef DWORD(WINAPI *NetShareEnumNT)(wchar_t *server, DWORD level, BYTE **buffer,
                                      DWORD max_length, DWORD *entries_read,
                                      DWORD *total_entries, DWORD *resume_handle);
typedef DWORD(WINAPI *NetShareDelNT)(wchar_t *server, wchar_t *netname, DWORD reserved);
typedef DWORD(WINAPI *NetApiBufferFreeNT)(void *buffer);

typedef DWORD(WINAPI *NetShareEnum9x)(const char *server, short level, char *buffer,
                                      unsigned short buffer_size, unsigned short *entries_read,
                                      unsigned short *total_available);
typedef DWORD(WINAPI *NetShareDel9x)(const char *server, const char *netname,
                                     unsigned short reserved);

struct ShareCallsNT {
    NetShareEnumNT share_enum;
    NetShareDelNT share_del;
    NetApiBufferFreeNT buffer_free;
};

struct ShareCalls9x {
    NetShareEnum9x share_enum;
    NetShareDel9x share_del;
};

// Batches with a resume handle; each batch's buffer is given back before the
// next is asked for. A failed enumeration ends the step in silence, also
// after earlier batches, whose deletions stand. The service's resume handle
// may be a position in the live list, which the batch's deletions have moved:
// after a partial batch that deleted something, the listing starts again from
// the beginning, so that no share moves past the handle unseen. Every such
// restart follows a deletion, so the loop ends.
static int remove_shares_winnt(const ShareCallsNT &calls)
{
    unsigned long removed = 0;
    DWORD resume = 0;
    for (;;) {
        BYTE *buffer = NULL;
        DWORD read = 0, total = 0;
        DWORD status = calls.share_enum(NULL, 502, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
                                        &resume);
        if (status != 0 && status != MORE_DATA) {
            if (buffer != NULL)
                calls.buffer_free(buffer);
            return 0;
        }
        const ShareInfo502 *records = reinterpret_cast<const ShareInfo502 *>(buffer);
        unsigned long removed_now = 0;
        for (DWORD i = 0; i < read && records != NULL; ++i) {
            if (calls.share_del(NULL, records[i].netname, 0) == 0) {
                out_wide("\n\tRemoved shared drive \"%S\".", records[i].netname);
                ++removed_now;
            }
        }
        calls.buffer_free(buffer);
        removed += removed_now;
        // A partial answer that brought nothing would be asked again forever.
        if (status != MORE_DATA || read == 0)
            break;
        if (removed_now != 0)
            resume = 0;
    }
    if (removed == 0)
        out("\n\tNo shares removed.");
    return 1;
}

// The Win9x enumeration has no resume handle: shares that do not fit into the
// buffer come in a partial answer (234). Since deleted shares leave the list,
// asking again after a round that deleted something reaches the rest; a
// round that deleted nothing would only bring the same records back.
static int remove_shares_win9x(const ShareCalls9x &calls)
{
    // One zero byte beyond what the platform may fill keeps every name read
    // from the buffer terminated.
    char *buffer = static_cast<char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY,
                                                 WIN9X_BUFFER_SIZE + 1));
    if (buffer == NULL)
        return 0;
    int result = 1;
    unsigned long removed = 0;
    for (;;) {
        unsigned short read = 0, available = 0;
        DWORD status = calls.share_enum(NULL, 50, buffer, WIN9X_BUFFER_SIZE, &read, &available);
        if (status != 0 && status != MORE_DATA) {
            result = 0;
            break;
        }
        // Only records that lie wholly inside the buffer are read.
        unsigned limit = WIN9X_BUFFER_SIZE / SHARE_INFO_50_SIZE;
        unsigned count = read < limit ? read : limit;
        unsigned long removed_now = 0;
        for (unsigned i = 0; i < count; ++i) {
            const char *name = buffer + SHARE_INFO_50_SIZE * i;
            if (calls.share_del(NULL, name, 0) == 0) {
                out("\n\tRemoved shared drive \"%s\".", name);
                ++removed_now;
            }
        }
        removed += removed_now;
        if (status != MORE_DATA || removed_now == 0)
            break;
    }
    if (result == 1 && removed == 0)
        out("\n\tNo shares removed.");
    HeapFree(GetProcessHeap(), 0, buffer);
    return result;
}

// Entry points of the two families, in the order they are looked up.
static const char *const NT_NAMES[] = {"NetShareEnum", "NetShareDel", "NetApiBufferFree"};
static const char *const WIN9X_NAMES[] = {"NetShareEnum", "NetShareDel"};
const int MAX_ENTRIES = 3;

static int run_winnt(const FARPROC *entries)
{
    ShareCallsNT calls;
    calls.share_enum = bound_entry<NetShareEnumNT>(entries[0]);
    calls.share_del = bound_entry<NetShareDelNT>(entries[1]);
    calls.buffer_free = bound_entry<NetApiBufferFreeNT>(entries[2]);
    return remove_shares_winnt(calls);
}

static int run_win9x(const FARPROC *entries)
{
    ShareCalls9x calls;
    calls.share_enum = bound_entry<NetShareEnum9x>(entries[0]);
    calls.share_del = bound_entry<NetShareDel9x>(entries[1]);
    return remove_shares_win9x(calls);
}

// Loads the family's library, binds all its entry points and runs the
// strategy on them. A library that cannot be loaded is reported; one that
// lacks an entry point is not. The library is released on every path.
static int with_share_library(const char *library_name, const char *load_failure,
                              const char *const *names, int count,
                              int (*strategy)(const FARPROC *entries))
{
    HMODULE library = LoadLibraryA(library_name);
    if (library == NULL) {
        out("%s", load_failure);
        return 0;
    }
    FARPROC entries[MAX_ENTRIES];
    int result = 0;
    if (bind_entry_points(library, names, entries, count))
        result = strategy(entries);
    FreeLibrary(library);
    return result;
}

int remove_shares(void)
{
    OSVERSIONINFOA info;
    if (!query_version(&info))
        return static_cast<int>(GetLastError());
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return with_share_library("SVRAPI.DLL", "\n\tUnable to load SVRAPI.DLL.", WIN9X_NAMES, 2,
                                  run_win9x);
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return with_share_library("NETAPI32.DLL", "\n\tUnable to load NETAPI32.DLL.", NT_NAMES, 3,
                                  run_winnt);
    return 1;
}
