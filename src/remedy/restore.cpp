// Host restoration: the host program inside an infected file is moved to
// offset 0 through a read-write mapping and the file is cut to its length,
// in place, without a temporary file.
#include "remedy/remedy.h"

#include "platform/fileapi.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "remedy/host_locate.h"

// Cuts the file to `length` once no mapping of it is left.
static bool cut_file(HANDLE file, DWORD length)
{
    // length is below the old size, so 0xFFFFFFFF can only mean failure.
    if (SetFilePointer(file, static_cast<LONG>(length), NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return false;
    return SetEndOfFile(file) != 0;
}

// The file was closed between the classifier and this open: the view is rated
// again, so that only a file that still rates Infected is changed. The moved
// bytes are written back before success is answered; a write-back that fails
// (a compressed file on a full disk) would otherwise show only after
// "Cleaned!".
static int restore_in_view(void *view, DWORD size, uint32_t *new_size)
{
    int result = restore_infected_view(static_cast<uint8_t *>(view), size, new_size);
    if (result == 0 && !FlushViewOfFile(view, 0))
        result = -2;
    return result;
}

static int restore_open_file(HANDLE file)
{
    DWORD size_high = 0;
    DWORD size = GetFileSize(file, &size_high);
    // A file of 4 GiB or more lies outside the worm's layout: left untouched.
    // A failed query also answers INVALID_FILE_SIZE; a file of exactly that
    // size is no more restorable than a larger one.
    if (size_high != 0 || size == INVALID_FILE_SIZE)
        return -2;

    int result = -2;
    uint32_t new_size = 0;
    void *view = NULL;
    HANDLE mapping = CreateFileMappingA(file, NULL, PAGE_READWRITE, 0, size, NULL);
    if (mapping == NULL) {
        out("file map error");
    } else {
        view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
        if (view == NULL)
            out("file map view error");
        else
            result = restore_in_view(view, size, &new_size);
    }

    if (view != NULL)
        UnmapViewOfFile(view);
    if (mapping != NULL)
        CloseHandle(mapping);
    // The cut is checked: a file left at its old length is not the host
    // program, even though it holds the host followed by zeros.
    if (result == 0 && !cut_file(file, new_size))
        result = -2;
    return result;
}

// Answers 0 when the host now stands alone in the file; -1 when the file cannot
// be opened for reading and writing; -2 for an empty path, a file of 4 GiB or
// more, a mapping or view that cannot be made, a file that no longer rates
// Infected, no host after the search start (or a search start of 0), a
// write-back or a cut that failed; -20 when the section table cannot give a
// search start. The attributes are put back on every path, and the whole
// restoration is completed before an interruption may stop the run.
template <typename Ch>
int restore_host(const Ch *path)
{
    if (path[0] == 0)
        return -2;

    begin_guarded_work();
    DWORD saved = file_attributes(path);
    if (saved != INVALID_FILE_ATTRIBUTES && (saved & FILE_ATTRIBUTE_NORMAL) == 0)
        set_file_attributes(path, FILE_ATTRIBUTE_NORMAL);

    int result = -1;
    HANDLE file = open_file(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    if (file != INVALID_HANDLE_VALUE) {
        result = restore_open_file(file);
        CloseHandle(file);
    }
    restore_attributes(path, saved);
    end_guarded_work();
    return result;
}

template int restore_host<char>(const char *);
template int restore_host<wchar_t>(const wchar_t *);
