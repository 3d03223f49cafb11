// Stand-in for the companion web-page cleaner "mopup.exe": appends its command
// line, exactly as it received it, to "mopup-calls.log" next to it and exits.
// Several instances start side by side, so each waits its turn for the log.
#include <windows.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    char *slash = strrchr(path, '\\');
    if (slash == NULL || (slash - path) + 16 >= MAX_PATH)
        return 1;
    strcpy(slash + 1, "mopup-calls.log");

    const char *command = GetCommandLineA();
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE log = CreateFileA(path, GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 NULL);
        if (log != INVALID_HANDLE_VALUE) {
            SetFilePointer(log, 0, NULL, FILE_END);
            DWORD written = 0;
            WriteFile(log, command, static_cast<DWORD>(strlen(command)), &written, NULL);
            WriteFile(log, "\n", 1, &written, NULL);
            CloseHandle(log);
            return 0;
        }
        Sleep(25);
    }
    return 1;
}
