// Stand-in for the LAN Manager share and account services (NETAPI32.DLL on the
// NT family, SVRAPI.DLL on the Win9x family), which Wine lacks. The same code
// is linked into both DLLs; each one's .def file chooses the entry points it
// exports under their real names.
//
// A scenario file next to the DLL, "standin-scenario.txt" (UTF-8, one setting
// per line, "#" starts a comment line), says what the services answer:
//   share NAME            a share, in enumeration order (NAME is the rest of the line)
//   refuse NAME           deleting that share answers 5 (access denied)
//   batch N               NT: at most N records per enumeration; 234 while more remain
//   resume live           NT: the resume handle counts the live shares handed out so far,
//                         so deletions move later shares forward (default: it indexes
//                         the scenario's list, which deletions do not move)
//   share-text N          Win9x: bytes of remark and path text each share takes in the
//                         2200-byte buffer besides its 42-byte record (default 0)
//   enum-fail CALL CODE   the CALL-th enumeration (from 1) answers CODE with nothing
//   group-del CODE        answer of NetLocalGroupDelMembers (default 1377: not a member)
//   set-info CODE         answer of NetUserSetInfo (default 0)
// Deleted shares leave the list for the rest of the process.
//
// Every call is appended with its arguments and answer to "standin-calls.log"
// next to the DLL (UTF-8), one line per call.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int MAX_SHARES = 256;
const int NAME_CHARS = 128;
const DWORD MORE_DATA = 234;
const DWORD ACCESS_DENIED = 5;
const DWORD NAME_NOT_FOUND = 2310;  // NERR_NetNameNotFound
const DWORD MEMBER_NOT_IN_ALIAS = 1377;
const int MAX_BUFFERS = 1024;

struct Share {
    wchar_t name[NAME_CHARS];
    bool refuse;
    bool deleted;
};

struct Scenario {
    bool loaded;
    Share shares[MAX_SHARES];
    int share_count;
    DWORD batch;
    bool resume_live;
    DWORD share_text;
    DWORD enum_fail_call;
    DWORD enum_fail_code;
    DWORD group_del;
    DWORD set_info;
    DWORD enum_calls;
    void *buffers[MAX_BUFFERS];  // handed out by the NT enumeration; id = index + 1
    int buffer_count;
    wchar_t folder[MAX_PATH];
};

Scenario scenario;

void module_folder(wchar_t *folder)
{
    HMODULE self = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&module_folder), &self);
    GetModuleFileNameW(self, folder, MAX_PATH);
    wchar_t *slash = wcsrchr(folder, L'\\');
    if (slash != NULL)
        slash[1] = 0;
}

void file_beside(const wchar_t *name, wchar_t *path)
{
    _snwprintf(path, MAX_PATH, L"%ls%ls", scenario.folder, name);
    path[MAX_PATH - 1] = 0;
}

void to_wide(const char *utf8, wchar_t *wide, int chars)
{
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, chars) == 0)
        wide[0] = 0;
    wide[chars - 1] = 0;
}

void to_utf8(const wchar_t *wide, char *utf8, int size)
{
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, size, NULL, NULL) == 0)
        utf8[0] = 0;
    utf8[size - 1] = 0;
}

void log_line(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    _vsnprintf(line, sizeof line - 2, format, args);
    va_end(args);
    line[sizeof line - 2] = 0;
    strcat(line, "\n");
    wchar_t path[MAX_PATH];
    file_beside(L"standin-calls.log", path);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    SetFilePointer(file, 0, NULL, FILE_END);
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, NULL);
    CloseHandle(file);
}

void trim(char *text)
{
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = 0;
}

void load_scenario(void)
{
    if (scenario.loaded)
        return;
    scenario.loaded = true;
    scenario.group_del = MEMBER_NOT_IN_ALIAS;
    module_folder(scenario.folder);
    wchar_t path[MAX_PATH];
    file_beside(L"standin-scenario.txt", path);
    FILE *file = _wfopen(path, L"rb");
    if (file == NULL)
        return;
    char line[512];
    while (fgets(line, sizeof line, file) != NULL) {
        trim(line);
        char *value = strchr(line, ' ');
        if (line[0] == '#' || value == NULL)
            continue;
        *value++ = 0;
        if (strcmp(line, "share") == 0 && scenario.share_count < MAX_SHARES) {
            Share &share = scenario.shares[scenario.share_count++];
            to_wide(value, share.name, NAME_CHARS);
        } else if (strcmp(line, "refuse") == 0) {
            wchar_t name[NAME_CHARS];
            to_wide(value, name, NAME_CHARS);
            for (int i = 0; i < scenario.share_count; ++i)
                if (wcscmp(scenario.shares[i].name, name) == 0)
                    scenario.shares[i].refuse = true;
        } else if (strcmp(line, "batch") == 0) {
            scenario.batch = strtoul(value, NULL, 0);
        } else if (strcmp(line, "resume") == 0) {
            scenario.resume_live = strcmp(value, "live") == 0;
        } else if (strcmp(line, "share-text") == 0) {
            scenario.share_text = strtoul(value, NULL, 0);
        } else if (strcmp(line, "enum-fail") == 0) {
            char *code = NULL;
            scenario.enum_fail_call = strtoul(value, &code, 0);
            scenario.enum_fail_code = strtoul(code, NULL, 0);
        } else if (strcmp(line, "group-del") == 0) {
            scenario.group_del = strtoul(value, NULL, 0);
        } else if (strcmp(line, "set-info") == 0) {
            scenario.set_info = strtoul(value, NULL, 0);
        }
    }
    fclose(file);
}

void describe_wide(const wchar_t *text, char *out, int size)
{
    if (text == NULL) {
        snprintf(out, size, "NULL");
        return;
    }
    char utf8[NAME_CHARS * 4];
    to_utf8(text, utf8, sizeof utf8);
    snprintf(out, size, "\"%s\"", utf8);
}

void describe_narrow(const char *text, char *out, int size)
{
    if (text == NULL) {
        snprintf(out, size, "NULL");
        return;
    }
    wchar_t wide[NAME_CHARS];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, NAME_CHARS) == 0)
        wide[0] = 0;
    wide[NAME_CHARS - 1] = 0;
    describe_wide(wide, out, size);
}

// The live share whose name is `name`, or NULL.
Share *find_share(const wchar_t *name)
{
    for (int i = 0; name != NULL && i < scenario.share_count; ++i)
        if (!scenario.shares[i].deleted && wcscmp(scenario.shares[i].name, name) == 0)
            return &scenario.shares[i];
    return NULL;
}

DWORD delete_share(const wchar_t *name)
{
    Share *share = find_share(name);
    if (share == NULL)
        return NAME_NOT_FOUND;
    if (share->refuse)
        return ACCESS_DENIED;
    share->deleted = true;
    return 0;
}

int live_shares(void)
{
    int n = 0;
    for (int i = 0; i < scenario.share_count; ++i)
        n += scenario.shares[i].deleted ? 0 : 1;
    return n;
}

// The answer forced on this enumeration call by "enum-fail", or 0.
DWORD forced_enum_answer(void)
{
    ++scenario.enum_calls;
    return scenario.enum_calls == scenario.enum_fail_call ? scenario.enum_fail_code : 0;
}

// The 40-byte level-502 record.
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

}  // namespace

extern "C" {

DWORD WINAPI nt_NetShareEnum(wchar_t *server, DWORD level, BYTE **buffer, DWORD max_length,
                             DWORD *entries_read, DWORD *total_entries, DWORD *resume_handle)
{
    load_scenario();
    char server_text[64];
    describe_wide(server, server_text, sizeof server_text);
    DWORD resume = resume_handle != NULL ? *resume_handle : 0;
    *buffer = NULL;
    *entries_read = 0;
    *total_entries = 0;
    DWORD answer = forced_enum_answer();
    if (answer == 0 && level != 502)
        answer = 124;  // ERROR_INVALID_LEVEL: the stand-in knows only level 502
    if (answer != 0) {
        log_line("NetShareEnum server=%s level=%lu max=0x%lx resume=%lu -> %lu", server_text, level,
                 max_length, resume, answer);
        return answer;
    }
    // The resume handle is the index of the next share of the scenario's list,
    // or (resume live) the number of live shares to pass over.
    int picked[MAX_SHARES];
    int count = 0;
    int next = scenario.resume_live ? 0 : static_cast<int>(resume);
    DWORD pass_over = scenario.resume_live ? resume : 0;
    for (; next < scenario.share_count; ++next) {
        if (scenario.shares[next].deleted)
            continue;
        if (pass_over > 0) {
            --pass_over;
            continue;
        }
        if (scenario.batch != 0 && static_cast<DWORD>(count) == scenario.batch)
            break;
        picked[count++] = next;
    }
    bool more = false;
    for (int i = next; i < scenario.share_count; ++i)
        more = more || !scenario.shares[i].deleted;
    size_t size = sizeof(ShareInfo502) * count + 1;
    for (int i = 0; i < count; ++i)
        size += (wcslen(scenario.shares[picked[i]].name) + 1) * sizeof(wchar_t);
    BYTE *block = static_cast<BYTE *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    ShareInfo502 *records = reinterpret_cast<ShareInfo502 *>(block);
    wchar_t *text = reinterpret_cast<wchar_t *>(block + sizeof(ShareInfo502) * count);
    for (int i = 0; i < count; ++i) {
        wcscpy(text, scenario.shares[picked[i]].name);
        records[i].netname = text;
        text += wcslen(text) + 1;
    }
    int id = 0;
    if (scenario.buffer_count < MAX_BUFFERS) {
        scenario.buffers[scenario.buffer_count++] = block;
        id = scenario.buffer_count;
    }
    *buffer = block;
    *entries_read = static_cast<DWORD>(count);
    *total_entries = static_cast<DWORD>(live_shares());
    if (resume_handle != NULL)
        *resume_handle = scenario.resume_live ? resume + count : static_cast<DWORD>(next);
    answer = more ? MORE_DATA : 0;
    log_line("NetShareEnum server=%s level=%lu max=0x%lx resume=%lu -> %lu read=%lu total=%lu "
             "buffer=#%d", server_text, level, max_length, resume, answer, *entries_read,
             *total_entries, id);
    return answer;
}

DWORD WINAPI nt_NetShareDel(wchar_t *server, wchar_t *netname, DWORD reserved)
{
    load_scenario();
    char server_text[64], name_text[NAME_CHARS * 4 + 8];
    describe_wide(server, server_text, sizeof server_text);
    describe_wide(netname, name_text, sizeof name_text);
    DWORD answer = delete_share(netname);
    log_line("NetShareDel server=%s name=%s reserved=%lu -> %lu", server_text, name_text, reserved,
             answer);
    return answer;
}

DWORD WINAPI nt_NetApiBufferFree(void *buffer)
{
    load_scenario();
    int id = 0;
    for (int i = 0; i < scenario.buffer_count; ++i)
        if (scenario.buffers[i] == buffer)
            id = i + 1;
    if (buffer == NULL) {
        log_line("NetApiBufferFree buffer=NULL -> 0");
        return 0;
    }
    if (id == 0) {
        log_line("NetApiBufferFree buffer=unknown -> 87");
        return ERROR_INVALID_PARAMETER;
    }
    scenario.buffers[id - 1] = NULL;
    HeapFree(GetProcessHeap(), 0, buffer);
    log_line("NetApiBufferFree buffer=#%d -> 0", id);
    return 0;
}

DWORD WINAPI nt_NetLocalGroupDelMembers(const wchar_t *server, const wchar_t *group, DWORD level,
                                        BYTE *members, DWORD count)
{
    load_scenario();
    char server_text[64], group_text[NAME_CHARS * 4 + 8], member_text[NAME_CHARS * 4 + 8];
    describe_wide(server, server_text, sizeof server_text);
    describe_wide(group, group_text, sizeof group_text);
    if (level == 3 && members != NULL && count >= 1)
        describe_wide(*reinterpret_cast<wchar_t **>(members), member_text, sizeof member_text);
    else
        snprintf(member_text, sizeof member_text, "?");
    log_line("NetLocalGroupDelMembers server=%s group=%s level=%lu member=%s count=%lu -> %lu",
             server_text, group_text, level, member_text, count, scenario.group_del);
    return scenario.group_del;
}

DWORD WINAPI nt_NetUserSetInfo(const wchar_t *server, const wchar_t *user, DWORD level, BYTE *info,
                               DWORD *parameter_error)
{
    load_scenario();
    char server_text[64], user_text[NAME_CHARS * 4 + 8], flags_text[32];
    describe_wide(server, server_text, sizeof server_text);
    describe_wide(user, user_text, sizeof user_text);
    if (level == 1008 && info != NULL)
        snprintf(flags_text, sizeof flags_text, "%lu", *reinterpret_cast<DWORD *>(info));
    else
        snprintf(flags_text, sizeof flags_text, "?");
    log_line("NetUserSetInfo server=%s user=%s level=%lu flags=%s parm_err=%s -> %lu", server_text,
             user_text, level, flags_text, parameter_error == NULL ? "NULL" : "given",
             scenario.set_info);
    return scenario.set_info;
}

// Level 50: byte-packed 42-byte records from the start of the buffer; their
// remark and path texts are put at the end of the buffer, working down.
DWORD WINAPI w9x_NetShareEnum(const char *server, short level, char *buffer,
                              unsigned short buffer_size, unsigned short *entries_read,
                              unsigned short *total_available)
{
    load_scenario();
    char server_text[64];
    describe_narrow(server, server_text, sizeof server_text);
    *entries_read = 0;
    *total_available = static_cast<unsigned short>(live_shares());
    DWORD answer = forced_enum_answer();
    if (answer == 0 && level != 50)
        answer = 124;
    if (answer != 0) {
        log_line("NetShareEnum server=%s level=%d size=%u -> %lu", server_text, level, buffer_size,
                 answer);
        return answer;
    }
    const DWORD record_size = 42;
    DWORD used = 0, count = 0;
    char *text_end = buffer + buffer_size;
    bool more = false;
    for (int i = 0; i < scenario.share_count; ++i) {
        if (scenario.shares[i].deleted)
            continue;
        DWORD text = scenario.share_text;
        if (used + record_size + text > buffer_size) {
            more = true;
            break;
        }
        char *record = buffer + record_size * count;
        memset(record, 0, record_size);
        // The name: at most 12 characters in the ANSI code page.
        char name[13] = {0};
        WideCharToMultiByte(CP_ACP, 0, scenario.shares[i].name, -1, name, sizeof name, NULL, NULL);
        name[12] = 0;
        memcpy(record, name, strlen(name));
        record[13] = 0;  // STYPE_DISKTREE
        text_end -= text;
        memset(text_end, 'x', text);
        if (text > 0)
            text_end[text - 1] = 0;
        char *remark = text > 0 ? text_end : NULL;
        memcpy(record + 16, &remark, sizeof remark);
        memcpy(record + 20, &remark, sizeof remark);
        used += record_size + text;
        ++count;
    }
    *entries_read = static_cast<unsigned short>(count);
    answer = more ? MORE_DATA : 0;
    log_line("NetShareEnum server=%s level=%d size=%u -> %lu read=%lu total=%u", server_text, level,
             buffer_size, answer, count, *total_available);
    return answer;
}

DWORD WINAPI w9x_NetShareDel(const char *server, const char *netname, unsigned short reserved)
{
    load_scenario();
    char server_text[64], name_text[NAME_CHARS * 4 + 8];
    describe_narrow(server, server_text, sizeof server_text);
    describe_narrow(netname, name_text, sizeof name_text);
    wchar_t wide[NAME_CHARS] = {0};
    if (netname != NULL)
        MultiByteToWideChar(CP_ACP, 0, netname, -1, wide, NAME_CHARS);
    wide[NAME_CHARS - 1] = 0;
    DWORD answer = delete_share(wide);
    log_line("NetShareDel server=%s name=%s reserved=%u -> %lu", server_text, name_text, reserved,
             answer);
    return answer;
}

}  // extern "C"
