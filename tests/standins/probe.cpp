// probe.exe: small Windows-side helper for the Wine tests.
//   probe classify PATH          verdicts of both flavours: "ansi=N wide=N"
//   probe attr PATH              the file's attributes in hex
//   probe attrs PATH...          the attributes of each file in hex, one line each
//   probe setattr PATH HEX       sets them (exit status 1 on failure)
//   probe hold PATH SECONDS [r]  holds the file open (share: none, or read with r)
//   probe sleep SECONDS          just waits
//   probe map PATH SECONDS       holds a read-only mapping of the file (others may read and write)
//   probe restore PATH           restore_host, ANSI flavour: "result=N"
//   probe restorew PATH          restore_host, wide flavour
//   probe remove PATH            remove_worm_copy, ANSI flavour: "result=N outcome=N"
//   probe removew PATH           remove_worm_copy, wide flavour
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "detect/classify.h"
#include "remedy/remedy.h"

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
    if (wcscmp(verb, L"setattr") == 0 && argc == 4) {
        DWORD value = static_cast<DWORD>(wcstoul(argv[3], NULL, 16));
        return SetFileAttributesW(argv[2], value) ? 0 : 1;
    }
    if (wcscmp(verb, L"hold") == 0 && argc >= 4) {
        DWORD share = (argc > 4 && wcscmp(argv[4], L"r") == 0) ? FILE_SHARE_READ : 0;
        HANDLE file = CreateFileW(argv[2], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
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
    if (wcscmp(verb, L"sleep") == 0 && argc == 3) {
        Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
        return 0;
    }
    return 2;
}
