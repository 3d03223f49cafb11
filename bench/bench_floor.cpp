// bench_floor.exe: the floor of the sweep's design. The same walk, and for
// every file of 57,344 bytes or more exactly the calls that the classifier's
// rules need: attributes read, cleared and put back; open; size; read-only
// mapping and view; the bytes the rules touch; unmap; close.
#include "walk.h"

#include "detect/image_rules.h"

static unsigned long verdicts[2];  // [0] clean, [1] infected or worm copy

static void examine(const wchar_t *path)
{
    DWORD saved = GetFileAttributesW(path);
    if (saved != INVALID_FILE_ATTRIBUTES && (saved & FILE_ATTRIBUTE_NORMAL) == 0)
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD size = GetFileSize(file, NULL);
        if (size >= WORM_MIN_SIZE) {
            HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READONLY, 0, size, NULL);
            const void *view = mapping != NULL ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size) : NULL;
            if (view != NULL) {
                ScanVerdict verdict = rate_image(static_cast<const uint8_t *>(view), size);
                ++verdicts[verdict == Infected || verdict == WormCopy ? 1 : 0];
                UnmapViewOfFile(view);
            }
            if (mapping != NULL)
                CloseHandle(mapping);
        }
        CloseHandle(file);
    }
    if (saved != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(path) != saved)
        SetFileAttributesW(path, saved);
}

int main(void)
{
    WalkCounts counts = {0, 0, 0};
    walk_fixed_drives(examine, &counts);
    print_counts(counts);
    printf(" clean=%lu worm=%lu\n", verdicts[0], verdicts[1]);
    return 0;
}
