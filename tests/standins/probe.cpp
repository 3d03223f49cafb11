// probe.exe: small Windows-side helper for the Wine tests.
//   probe classify PATH          verdicts of both flavours: "ansi=N wide=N"
//   probe attr PATH              the file's attributes in hex
//   probe attrs PATH...          the attributes of each file in hex, one line each
//   probe setattr PATH HEX...    sets them, for each pair (exit status 1 on a failure)
//   probe hold PATH SECONDS [r][n]  holds the file open (share: none, or read
//                                with r; n: with WoW64 redirection off, so the
//                                real System32)
//   probe wow64                  "wow64=1" when the program runs under WoW64
//                                with redirection it can turn off, else "wow64=0"
//   probe sleep SECONDS          just waits
//   probe map PATH SECONDS       holds a read-only mapping of the file (others may read and write)
//   probe restore PATH           restore_host, ANSI flavour: "result=N"
//   probe restorew PATH          restore_host, wide flavour
//   probe remove PATH            remove_worm_copy, ANSI flavour: "result=N outcome=N"
//   probe removew PATH           remove_worm_copy, wide flavour
//   probe interrupt REPORT OUT TRIGGER DELAY WATCH COMMAND
//       runs COMMAND in this console (standard output to the file OUT, or the
//       console with "-"); time 0 is when TRIGGER's size or attributes change
//       ("-": at once); DELAY ms later (never with -1) sends Ctrl+C to the
//       console's processes, then looks in folder WATCH for a file held open
//       for writing, as only a restoration holds one. Writes to the file REPORT
//       "exit=HEX sent=0|1 held=NAME|- elapsed=MS" (time 0 to the end).
//   probe close WORK_MS          the tool's handler given a close event during
//       WORK_MS of guarded work (none with 0), then later work tried: prints
//       "complete=0|1 later=0|1", whether the work was complete when the
//       handler returned and whether the later work started
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "detect/classify.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/remedy.h"

// The sender itself stays: Ctrl+C reaches every process of the console.
static BOOL WINAPI ignore_control(DWORD)
{
    return TRUE;
}

static bool file_state(const wchar_t *path, WIN32_FILE_ATTRIBUTE_DATA *state)
{
    memset(state, 0, sizeof *state);
    return GetFileAttributesExW(path, GetFileExInfoStandard, state) != 0;
}

// Waits until `trigger` changes, polling every millisecond; false when the process ended first.
static bool wait_for_change(const wchar_t *trigger, HANDLE process)
{
    WIN32_FILE_ATTRIBUTE_DATA before, now;
    file_state(trigger, &before);
    for (;;) {
        if (WaitForSingleObject(process, 1) == WAIT_OBJECT_0)
            return false;
        file_state(trigger, &now);
        if (now.dwFileAttributes != before.dwFileAttributes || now.nFileSizeLow != before.nFileSizeLow)
            return true;
    }
}

// A file that cannot be opened for reading while others may read it is held
// open for writing.
static void find_held_file(const wchar_t *folder, wchar_t *held)
{
    wcscpy(held, L"-");
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\*", folder);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        _snwprintf(path, MAX_PATH, L"%ls\\%ls", folder, entry.cFileName);
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        else if (GetLastError() == ERROR_SHARING_VIOLATION)
            wcscpy(held, entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

static int interrupt_run(const wchar_t *report, const wchar_t *out, const wchar_t *trigger, int delay,
                         const wchar_t *watch, const wchar_t *command)
{
    SetConsoleCtrlHandler(ignore_control, TRUE);
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    HANDLE output = INVALID_HANDLE_VALUE;
    if (wcscmp(out, L"-") != 0) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
        output = CreateFileW(out, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, NULL);
        if (output == INVALID_HANDLE_VALUE)
            return 1;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    wchar_t line[4096];
    wcsncpy(line, command, 4095);
    line[4095] = 0;
    PROCESS_INFORMATION tool;
    if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &tool))
        return 1;
    bool started = wcscmp(trigger, L"-") == 0 || wait_for_change(trigger, tool.hProcess);
    DWORD zero = GetTickCount();
    bool sent = false;
    wchar_t held[MAX_PATH];
    wcscpy(held, L"-");
    if (started && delay >= 0 && WaitForSingleObject(tool.hProcess, delay) == WAIT_TIMEOUT) {
        sent = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
        if (wcscmp(watch, L"-") != 0)
            find_held_file(watch, held);
    }
    WaitForSingleObject(tool.hProcess, 300000);
    DWORD code = 0;
    GetExitCodeProcess(tool.hProcess, &code);
    // Not to the console, where Wine's own messages as the tool ends may cut in.
    FILE *file = _wfopen(report, L"w");
    if (file == NULL)
        return 1;
    fprintf(file, "exit=%lx sent=%d held=%ls elapsed=%lu\n", static_cast<unsigned long>(code), sent ? 1 : 0,
            held, static_cast<unsigned long>(GetTickCount() - zero));
    fclose(file);
    CloseHandle(tool.hThread);
    CloseHandle(tool.hProcess);
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    return 0;
}

static volatile LONG work_complete, later_work;

static DWORD WINAPI send_close(void *)
{
    handle_control_event(CTRL_CLOSE_EVENT);
    LONG complete = work_complete;
    Sleep(500);  // a main thread that went on would show by now
    printf("complete=%ld later=%ld\n", static_cast<long>(complete), static_cast<long>(later_work));
    fflush(stdout);
    ExitProcess(0);
}

static int close_during_work(int work_ms)
{
    install_interrupt_handler(NULL);
    if (work_ms > 0)
        begin_guarded_work();
    HANDLE thread = CreateThread(NULL, 0, send_close, NULL, 0, NULL);
    if (thread == NULL)
        return 1;
    Sleep(work_ms > 0 ? work_ms : 200);
    if (work_ms > 0) {
        work_complete = 1;
        end_guarded_work();
    }
    begin_guarded_work();
    later_work = 1;
    end_guarded_work();
    WaitForSingleObject(thread, INFINITE);
    return 0;
}

static void narrow(const wchar_t *wide, char *buffer, int size)
{
    WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer, size, NULL, NULL);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2)
        return 2;
    const wchar_t *verb = argv[1];
    char ansi[MAX_PATH * 4];
    if (wcscmp(verb, L"classify") == 0 && argc == 3) {
        narrow(argv[2], ansi, sizeof ansi);
        int a = classify_file(ansi);
        int w = classify_file(argv[2]);
        printf("ansi=%d wide=%d\n", a, w);
        return 0;
    }
    if (wcscmp(verb, L"attr") == 0 && argc == 3) {
        printf("%lx\n", static_cast<unsigned long>(GetFileAttributesW(argv[2])));
        return 0;
    }
    if (wcscmp(verb, L"setattr") == 0 && argc >= 4 && argc % 2 == 0) {
        int rc = 0;
        for (int i = 2; i < argc; i += 2)
            if (!SetFileAttributesW(argv[i], static_cast<DWORD>(wcstoul(argv[i + 1], NULL, 16))))
                rc = 1;
        return rc;
    }
    if (wcscmp(verb, L"hold") == 0 && argc >= 4) {
        const wchar_t *mode = argc > 4 ? argv[4] : L"";
        DWORD share = wcschr(mode, L'r') != NULL ? FILE_SHARE_READ : 0;
        Redirection redirection;
        bind_redirection(&redirection);
        if (wcschr(mode, L'n') != NULL)
            turn_redirection_off(&redirection);
        HANDLE file = CreateFileW(argv[2], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
        release_redirection(&redirection);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        printf("holding\n");
        fflush(stdout);
        Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
        CloseHandle(file);
        return 0;
    }
    if (wcscmp(verb, L"restore") == 0 && argc == 3) {
        narrow(argv[2], ansi, sizeof ansi);
        printf("result=%d\n", restore_host(ansi));
        return 0;
    }
    if (wcscmp(verb, L"restorew") == 0 && argc == 3) {
        printf("result=%d\n", restore_host(argv[2]));
        return 0;
    }
    if ((wcscmp(verb, L"remove") == 0 || wcscmp(verb, L"removew") == 0) && argc == 3) {
        WormRemoval outcome = RemovalFailed;
        int result;
        if (wcscmp(verb, L"remove") == 0) {
            narrow(argv[2], ansi, sizeof ansi);
            result = remove_worm_copy(ansi, &outcome);
        } else {
            result = remove_worm_copy(argv[2], &outcome);
        }
        printf("result=%d outcome=%d\n", result, static_cast<int>(outcome));
        return 0;
    }
    if (wcscmp(verb, L"attrs") == 0) {
        for (int i = 2; i < argc; ++i)
            printf("%lx\n", static_cast<unsigned long>(GetFileAttributesW(argv[i])));
        return 0;
    }
    if (wcscmp(verb, L"map") == 0 && argc == 4) {
        HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, 0, NULL);
        const void *view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
        int rc = 1;
        if (view != NULL) {
            printf("holding\n");
            fflush(stdout);
            Sleep(static_cast<DWORD>(_wtoi(argv[3])) * 1000);
            UnmapViewOfFile(view);
            rc = 0;
        }
        if (mapping != NULL)
            CloseHandle(mapping);
        CloseHandle(file);
        return rc;
    }
    if (wcscmp(verb, L"close") == 0 && argc == 3)
        return close_during_work(_wtoi(argv[2]));
    if (wcscmp(verb, L"interrupt") == 0 && argc == 8)
        return interrupt_run(argv[2], argv[3], argv[4], _wtoi(argv[5]), argv[6], argv[7]);
    if (wcscmp(verb, L"wow64") == 0 && argc == 2) {
        Redirection redirection;
        printf("wow64=%d\n", bind_redirection(&redirection) ? 1 : 0);
        release_redirection(&redirection);
        return 0;
    }
    if (wcscmp(verb, L"sleep") == 0 && argc == 3) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
        return 0;
    }
    return 2;
}
