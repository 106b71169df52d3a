// Files and folders on Windows: wide-character calls at any path length,
// folder entries listed and opened through the folder's handle, reparse points
// in folders never followed, share modes instead of locks.
#if defined(_WIN32)

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "file_io.h"
#include "file_io_platform.h"
#include "utf16.h"

namespace img_whiten {

namespace {

// A wide path that the Windows calls take at any length: past MAX_PATH it
// becomes an absolute \\?\ path, which no length limit applies to.
std::wstring windows_path(const char* path) {
    std::wstring wide = utf8_to_wide(path);
    if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return wide;
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return wide;
    }
    full.resize(length);
    if (full.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

// Whether the named `path` reaches a device rather than a file on a drive or
// share: a reserved name such as COM1 or NUL (which the full path makes
// \\.\COM1), or a \\.\ or \\?\ path to a device or volume. Found from the
// name alone, so that a device is never opened, not even to ask what it is.
bool names_a_device(const char* path) {
    const std::wstring wide = utf8_to_wide(path);
    const DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return false;  // left to the open, which fails as this did
    }
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) {
        return false;
    }
    full.resize(length);
    // \\?\ and \\.\ go straight to the object manager: only C:\... or UNC\... is a file there.
    std::wstring rest = full;
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
        rest = full.substr(4);
        if (rest.rfind(L"UNC\\", 0) == 0) {
            return false;
        }
    } else if (full.rfind(L"\\\\", 0) == 0) {
        return false;  // \\server\share\...
    }
    const bool on_drive =
        rest.size() >= 3 && rest[1] == L':' && rest[2] == L'\\' &&
        ((rest[0] >= L'A' && rest[0] <= L'Z') || (rest[0] >= L'a' && rest[0] <= L'z'));
    return !on_drive;
}

// errno for the Windows error codes a path or a transfer can meet.
int errno_for(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        default:
            return EIO;
    }
}

// A handle that only asks about the file or folder at `path`: no reading, no writing.
HANDLE query_handle(const char* path) {
    const HANDLE handle = CreateFileW(windows_path(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
    }
    return handle;
}

bool describe_handle(HANDLE handle, file_identity* identity, std::uint64_t* size, bool* is_folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        errno = errno_for(GetLastError());
        return false;
    }
    identity->device = info.dwVolumeSerialNumber;
    identity->index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    *size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    *is_folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

// Describes the file `handle` is open on into `file` if it is a file on a
// disk (not a folder, console, pipe or device); otherwise closes the handle.
// A file that cannot be described is a failure (errno set), not passed over.
open_status describe_disk_file(HANDLE handle, open_file* file) {
    bool is_folder = false;
    open_status status = open_status::opened;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        status = open_status::not_regular;
    } else if (!describe_handle(handle, &file->identity, &file->size, &is_folder)) {
        status = open_status::failed;
    } else if (is_folder) {
        status = open_status::not_regular;
    }
    if (status != open_status::opened) {
        const int error = errno;
        CloseHandle(handle);
        errno = error;
    }
    return status;
}

using nt_create_file_call = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                             PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                             ULONG, PVOID, ULONG);
using status_to_error_call = ULONG(NTAPI*)(NTSTATUS);

// The two ntdll calls that open a name relative to a folder's handle, found
// at run time: the program imports nothing beyond kernel32 and msvcrt.
struct ntdll_calls {
    nt_create_file_call create_file = nullptr;
    status_to_error_call status_to_error = nullptr;
};

const ntdll_calls& ntdll() {
    static const ntdll_calls calls = [] {
        ntdll_calls found;
        const HMODULE module = GetModuleHandleW(L"ntdll.dll");  // in every process
        if (module != nullptr) {
            found.create_file = reinterpret_cast<nt_create_file_call>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, "NtCreateFile")));
            found.status_to_error = reinterpret_cast<status_to_error_call>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, "RtlNtStatusToDosError")));
        }
        return found;
    }();
    return calls;
}

constexpr ULONG status_not_a_directory = 0xC0000103;
constexpr ULONG status_file_is_a_directory = 0xC00000BA;

// The entry `place.name` of the folder `place.parent` holds open, looked up in
// that folder itself, never through its path: a folder renamed and replaced by
// a link after it was opened cannot lead the walk elsewhere. A reparse point is
// opened itself. The entry's kind not being `folder` gives ERROR_DIRECTORY.
DWORD open_in_folder(const file_place& place, DWORD access, DWORD share, bool folder,
                     HANDLE* handle) {
    *handle = INVALID_HANDLE_VALUE;
    const ntdll_calls& calls = ntdll();
    if (calls.create_file == nullptr || calls.status_to_error == nullptr) {
        return ERROR_PROC_NOT_FOUND;
    }
    std::wstring name = utf8_to_wide(place.name);
    // One name of the folder, never a path, and short enough to count in 16 bits.
    if (name.empty() || name.find_first_of(L"\\/") != std::wstring::npos ||
        name.size() > UNICODE_STRING_MAX_CHARS) {
        return ERROR_INVALID_NAME;
    }
    UNICODE_STRING relative;
    relative.Buffer = &name[0];
    relative.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    relative.MaximumLength = relative.Length;
    OBJECT_ATTRIBUTES attributes;
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = static_cast<HANDLE>(place.parent->handle);
    attributes.ObjectName = &relative;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;  // as CreateFileW looks names up
    attributes.SecurityDescriptor = nullptr;
    attributes.SecurityQualityOfService = nullptr;
    IO_STATUS_BLOCK io;
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                          (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    const NTSTATUS status =
        calls.create_file(handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                          nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN, options, nullptr, 0);
    if (NT_SUCCESS(status)) {
        return ERROR_SUCCESS;
    }
    *handle = INVALID_HANDLE_VALUE;  // NtCreateFile may leave it as it was
    const ULONG code = static_cast<ULONG>(status);
    if (code == status_not_a_directory || code == status_file_is_a_directory) {
        return ERROR_DIRECTORY;
    }
    return calls.status_to_error(status);
}

// A handle on `place` with `access`: a named path as CreateFileW finds it, a
// folder entry by open_in_folder. ERROR_SUCCESS, or why not (errno set too).
DWORD open_handle(const file_place& place, DWORD access, DWORD share, bool folder, HANDLE* handle) {
    DWORD error = ERROR_SUCCESS;
    if (place.parent != nullptr) {
        error = open_in_folder(place, access, share, folder, handle);
    } else {
        *handle =
            CreateFileW(windows_path(place.path).c_str(), access, share, nullptr, OPEN_EXISTING,
                        folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
        error = *handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (error != ERROR_SUCCESS) {
        errno = errno_for(error);
    }
    return error;
}

bool is_reparse_point(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
           (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A C runtime descriptor that owns `handle`, or -1 (errno set, the handle closed).
int descriptor_for(HANDLE handle, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        errno = EMFILE;
    }
    return fd;
}

}  // namespace

// The C runtime reserves descriptors 0, 1 and 2 even for a process started
// without standard handles, so no file can take them.
bool occupy_closed_standard_streams() {
    return true;
}

bool kind_of_path(const char* path, path_kind* kind, file_identity* identity) {
    if (names_a_device(path)) {
        *kind = path_kind::other;
        return true;
    }
    const HANDLE handle = query_handle(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    file_identity found{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        *kind = path_kind::other;
    } else {
        std::uint64_t size = 0;
        bool is_folder = false;
        ok = describe_handle(handle, &found, &size, &is_folder);
        *kind = is_folder ? path_kind::folder : path_kind::regular;
    }
    if (identity != nullptr) {
        *identity = found;
    }
    CloseHandle(handle);
    return ok;
}

std::string join_path(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '\\' || folder.back() == '/' || folder.back() == ':') {
        return folder + name;
    }
    return folder + '\\' + name;
}

open_status open_folder_at(const file_place& place, open_folder* folder) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD opened =
        open_handle(place, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, share_all, true, &handle);
    if (opened != ERROR_SUCCESS) {
        return opened == ERROR_DIRECTORY && place.parent != nullptr ? open_status::not_regular
                                                                    : open_status::failed;
    }
    std::uint64_t size = 0;
    bool is_folder = false;
    if (!describe_handle(handle, &folder->identity, &size, &is_folder)) {
        const int error = errno;
        CloseHandle(handle);
        errno = error;
        return open_status::failed;
    }
    if (place.parent != nullptr && is_reparse_point(handle)) {
        CloseHandle(handle);
        return open_status::link;  // a junction or link, made since the folder was listed
    }
    if (!is_folder) {
        CloseHandle(handle);
        return open_status::not_regular;
    }
    // Held open while the folder is walked: its entries are listed and opened through it.
    folder->handle = handle;
    folder->path = place.path;
    return open_status::opened;
}

bool list_folder(const open_folder& folder, folder_listing* listing) {
    listing->clear();
    const HANDLE handle = static_cast<HANDLE>(folder.handle);
    std::vector<ULONGLONG> block(8192);  // 64 KiB of entries at a time, aligned as they must be
    const DWORD block_bytes = static_cast<DWORD>(block.size() * sizeof block[0]);
    const unsigned char* const entries = reinterpret_cast<const unsigned char*>(block.data());
    FILE_INFO_BY_HANDLE_CLASS ask = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle, ask, block.data(), block_bytes)) {
        ask = FileIdBothDirectoryInfo;
        constexpr DWORD name_offset = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);
        for (DWORD at = 0; at + name_offset <= block_bytes;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(entries + at);
            const DWORD name_bytes =
                std::min<DWORD>(entry->FileNameLength, block_bytes - at - name_offset);
            const std::u16string name(reinterpret_cast<const char16_t*>(entry->FileName),
                                      name_bytes / 2);
            if (name != u"." && name != u"..") {
                const DWORD attributes = entry->FileAttributes;
                path_kind kind = path_kind::regular;
                if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    kind = path_kind::link;
                } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    kind = path_kind::folder;
                } else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
                    kind = path_kind::other;
                }
                listing->add(utf16_to_utf8(name.data(), name.size()).c_str(), kind);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    const DWORD error = GetLastError();
    // A folder with no entries at all (a drive's empty root) may say it found none.
    if (error != ERROR_NO_MORE_FILES &&
        !(error == ERROR_FILE_NOT_FOUND && ask == FileIdBothDirectoryRestartInfo)) {
        errno = errno_for(error);
        return false;
    }
    listing->sort();
    return true;
}

void close_folder(open_folder& folder) {
    if (folder.handle != nullptr) {
        CloseHandle(static_cast<HANDLE>(folder.handle));
        folder.handle = nullptr;
    }
}

std::size_t open_folders() {
    return 0;
}

open_status open_file_at(const file_place& place, open_file* file) {
    // Opened for reading alone: open_for_update reopens it with the share mode that keeps
    // writers out.
    file->writable = false;
    if (place.parent == nullptr && names_a_device(place.path)) {
        return open_status::not_regular;
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    const DWORD error = open_handle(place, GENERIC_READ, share_all, false, &handle);
    if (error != ERROR_SUCCESS) {
        return error == ERROR_DIRECTORY && place.parent != nullptr ? open_status::not_regular
                                                                   : open_status::failed;
    }
    const open_status described = describe_disk_file(handle, file);
    if (described != open_status::opened) {
        return described;
    }
    if (place.parent != nullptr && is_reparse_point(handle)) {
        CloseHandle(handle);
        return open_status::link;
    }
    file->fd = descriptor_for(handle, _O_RDONLY);
    return file->fd >= 0 ? open_status::opened : open_status::failed;
}

open_status open_named_file(const char* path, open_file* file) {
    return open_file_at({nullptr, nullptr, path}, file);  // \\?\ paths reach any length
}

bool current_folder(std::string* folder) {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(needed, L'\0');
    const DWORD length = needed != 0 ? GetCurrentDirectoryW(needed, &wide[0]) : 0;
    if (length == 0 || length >= needed) {
        errno = length == 0 ? errno_for(GetLastError()) : EAGAIN;
        return false;
    }
    const std::u16string utf16(wide.begin(), wide.begin() + length);
    *folder = utf16_to_utf8(utf16.data(), utf16.size());
    return true;
}

bool is_absolute_path(const char* path) {
    // C:\..., \\server\share\... and \\?\...; also \... and /..., from the current drive's root.
    return path[0] == '\\' || path[0] == '/' ||
           (path[0] != '\0' && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
}

open_status open_for_update(const file_place& place, open_file* file) {
    const HANDLE reading = reinterpret_cast<HANDLE>(_get_osfhandle(file->fd));
    // The same file again, whatever its name names now; sharing reading only keeps writers out.
    HANDLE handle = ReOpenFile(reading, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, 0);
    DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (handle == INVALID_HANDLE_VALUE && error != ERROR_SHARING_VIOLATION &&
        error != ERROR_ACCESS_DENIED) {
        // No ReOpenFile here: by name (in its folder, for a folder entry).
        error = open_handle(place, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, false, &handle);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(error);
        return error == ERROR_SHARING_VIOLATION ? open_status::in_use : open_status::failed;
    }
    // An open by name, and Wine's ReOpenFile, look the name up again: still the same file?
    file_identity identity;
    std::uint64_t size = 0;
    bool is_folder = false;
    const bool described = describe_handle(handle, &identity, &size, &is_folder);
    if (!described || !(identity == file->identity)) {
        const int error_now = described ? ENOENT : errno;  // its name names another file by now
        CloseHandle(handle);
        errno = error_now;
        return open_status::failed;
    }
    const int fd = descriptor_for(handle, _O_RDWR);
    if (fd < 0) {
        return open_status::failed;
    }
    _close(file->fd);
    file->fd = fd;
    file->writable = true;
    return open_status::opened;
}

bool create_temp_file(const char* stem, std::string* path) {
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    const std::u16string utf16(folder, folder + (length <= MAX_PATH ? length : 0));
    *path = join_path(utf16_to_utf8(utf16.data(), utf16.size()),
                      std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                          std::to_string(GetTickCount64()) + ".log");
    if (length == 0 || length > MAX_PATH) {
        errno = length == 0 ? errno_for(GetLastError()) : ENAMETOOLONG;
        return false;
    }
    // CREATE_NEW: never a file that is there already, nor one a link leads to.
    const HANDLE handle = CreateFileW(windows_path(path->c_str()).c_str(), GENERIC_WRITE, 0,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return false;
    }
    CloseHandle(handle);
    return true;
}

bool remove_file(const char* path) {
    if (!DeleteFileW(windows_path(path).c_str())) {
        errno = errno_for(GetLastError());
        return false;
    }
    return true;
}

std::size_t open_files_allowed() {
    return 8192;  // the C runtime's descriptors
}

std::uint64_t address_space_allowed() {
    return 0;  // a job object may cap memory, but its threads reserve little address space
}

std::size_t open_files_left() {
    // The C runtime does not say how many of its descriptors are taken: the standard streams are.
    return open_files_allowed() - 3;
}

void advise_will_read(const open_file&, std::uint64_t) {
    // No such hint for a file on Windows, short of mapping it: the reads themselves ask.
}

open_status open_journal_file(const char* path, open_file* file, bool* created) {
    file->writable = false;
    if (names_a_device(path)) {
        return open_status::not_regular;
    }
    // Sharing reading only keeps other writers out, as while a file is patched; and
    // as no one may delete or rename it meanwhile, its name names it until it is closed.
    const HANDLE handle =
        CreateFileW(windows_path(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *created = handle != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = errno_for(error);
        const DWORD attributes = GetFileAttributesW(windows_path(path).c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return open_status::not_regular;  // a folder cannot be opened as a file
        }
        return error == ERROR_SHARING_VIOLATION ? open_status::in_use : open_status::failed;
    }
    const open_status described = describe_disk_file(handle, file);
    if (described != open_status::opened) {
        return described;
    }
    if (is_reparse_point(handle)) {
        CloseHandle(handle);
        return open_status::not_regular;  // a link the system would not follow
    }
    file->fd = descriptor_for(handle, _O_RDWR);
    if (file->fd < 0) {
        return open_status::failed;
    }
    file->writable = true;
    return open_status::opened;
}

void remove_created_file(const char* path, open_file& file) {
    close_file(file);
    DeleteFileW(windows_path(path).c_str());
}

bool flush_to_disk(const open_file& file) {
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.fd)))) {
        errno = errno_for(GetLastError());
        return false;
    }
    return true;
}

bool current_size(const open_file& file, std::uint64_t* size) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(file.fd)), &length)) {
        errno = errno_for(GetLastError());
        return false;
    }
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool cut_file(const open_file& file, std::uint64_t length) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    if (length > static_cast<std::uint64_t>(INT64_MAX) ||
        !SetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(file.fd)),
                                    FileEndOfFileInfo, &end, sizeof end)) {
        errno = length > static_cast<std::uint64_t>(INT64_MAX) ? EFBIG : errno_for(GetLastError());
        return false;
    }
    return true;
}

const char* in_use_reason() {
    return "another program has it open (sharing violation)";
}

long long read_once(int fd, std::uint64_t offset, unsigned char* data, std::size_t count) {
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        return -1;
    }
    return _read(fd, data, static_cast<unsigned>(count));
}

std::size_t read_cached_at(const open_file&, std::uint64_t, unsigned char*, std::size_t) {
    return 0;  // no read here that is sure not to wait
}

long long write_once(int fd, std::uint64_t offset, const unsigned char* data, std::size_t count) {
    if (_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) {
        return -1;
    }
    return _write(fd, data, static_cast<unsigned>(count));
}

bool close_file(open_file& file) {
    const int fd = file.fd;
    file.fd = -1;
    return _close(fd) == 0;
}

}  // namespace img_whiten

#endif
