#include "detect/classify.h"

#include "detect/image_rules.h"
#include "platform/fileapi.h"
#include "platform/interrupt.h"
#include "platform/platform.h"

// The mapped part: small files never get here, so most files cost one size query.
static ScanVerdict classify_open_file(HANDLE file)
{
    DWORD size = GetFileSize(file, NULL);
    if (size == 0)
        return Empty;
    if (size < WORM_MIN_SIZE)
        return Clean;

    ScanVerdict verdict = Clean;
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, size, NULL);
    const void *view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size) : NULL;
    if (view == NULL)
        out("\nFile mapping error.");
    else
        verdict = rate_image(static_cast<const uint8_t *>(view), size);

    if (view != NULL)
        UnmapViewOfFile(view);
    if (mapping != NULL)
        CloseHandle(mapping);
    return verdict;
}

template <typename Ch>
static ScanVerdict classify_file_t(const Ch *path, unsigned long *open_error)
{
    // Attributes cleared to open the file are put back before an interruption
    // may stop the run.
    DWORD saved = file_attributes(path);
    const bool clears = saved != INVALID_FILE_ATTRIBUTES && (saved & FILE_ATTRIBUTE_NORMAL) == 0;
    if (clears) {
        begin_guarded_work();
        set_file_attributes(path, FILE_ATTRIBUTE_NORMAL);
    }

    ScanVerdict verdict = OpenFailed;
    HANDLE file = open_file(path, GENERIC_READ, FILE_SHARE_READ);
    if (file != INVALID_HANDLE_VALUE) {
        verdict = classify_open_file(file);
        CloseHandle(file);
    } else if (open_error != NULL) {
        *open_error = GetLastError();
    }
    restore_attributes(path, saved);
    if (clears)
        end_guarded_work();
    return verdict;
}

ScanVerdict classify_file(const char *path)
{
    return classify_file_t(path, NULL);
}

ScanVerdict classify_file(const wchar_t *path)
{
    return classify_file_t(path, NULL);
}

ScanVerdict classify_file(const char *path, unsigned long *open_error)
{
    return classify_file_t(path, open_error);
}

ScanVerdict classify_file(const wchar_t *path, unsigned long *open_error)
{
    return classify_file_t(path, open_error);
}
