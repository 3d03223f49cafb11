// One name per file call for both text flavours, so that the file routines are
// written once over the character type.
#ifndef VESKACURE_PLATFORM_FILEAPI_H
#define VESKACURE_PLATFORM_FILEAPI_H

#include <windows.h>

inline DWORD file_attributes(const char *path) { return GetFileAttributesA(path); }
inline DWORD file_attributes(const wchar_t *path) { return GetFileAttributesW(path); }

inline BOOL set_file_attributes(const char *path, DWORD attributes)
{
    return SetFileAttributesA(path, attributes);
}
inline BOOL set_file_attributes(const wchar_t *path, DWORD attributes)
{
    return SetFileAttributesW(path, attributes);
}

inline HANDLE open_file(const char *path, DWORD access, DWORD share)
{
    return CreateFileA(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}
inline HANDLE open_file(const wchar_t *path, DWORD access, DWORD share)
{
    return CreateFileW(path, access, share, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

inline BOOL delete_file(const char *path) { return DeleteFileA(path); }
inline BOOL delete_file(const wchar_t *path) { return DeleteFileW(path); }

inline BOOL move_file_ex(const char *path, DWORD flags) { return MoveFileExA(path, NULL, flags); }
inline BOOL move_file_ex(const wchar_t *path, DWORD flags) { return MoveFileExW(path, NULL, flags); }

// Directory listing and drive types. FindData<Ch>::Type is the listing record of the flavour.
template <typename Ch> struct FindData;
template <> struct FindData<char> { typedef WIN32_FIND_DATAA Type; };
template <> struct FindData<wchar_t> { typedef WIN32_FIND_DATAW Type; };

inline HANDLE find_first_file(const char *pattern, WIN32_FIND_DATAA *entry)
{
    return FindFirstFileA(pattern, entry);
}
inline HANDLE find_first_file(const wchar_t *pattern, WIN32_FIND_DATAW *entry)
{
    return FindFirstFileW(pattern, entry);
}
inline BOOL find_next_file(HANDLE search, WIN32_FIND_DATAA *entry) { return FindNextFileA(search, entry); }
inline BOOL find_next_file(HANDLE search, WIN32_FIND_DATAW *entry) { return FindNextFileW(search, entry); }

inline UINT drive_type(const char *root) { return GetDriveTypeA(root); }
inline UINT drive_type(const wchar_t *root) { return GetDriveTypeW(root); }

// Puts back attributes that were saved before they were cleared: never a
// failed first read (INVALID_FILE_ATTRIBUTES), never a needless write.
template <typename Ch>
void restore_attributes(const Ch *path, DWORD saved)
{
    if (saved == INVALID_FILE_ATTRIBUTES)
        return;
    if (file_attributes(path) != saved)
        set_file_attributes(path, saved);
}

#endif
