#include "output_file.h"

// The file module on Windows. Names arrive in UTF-8 and go to the wide API
// as absolute paths that start with \\?\ (no 260-character limit).
// Descriptors are the C runtime's, wrapped around Win32 handles, so the
// header is the same for all.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <random>

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
    return text;
}

// The absolute \\?\ form of path; device names (NUL, CON) become \\.\ paths.
std::wstring system_path(const std::string& path) {
    std::wstring wide = widen(path);
    if (wide.empty()) return wide;
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Every file is shared for deletion too, so that an in-place edit can put the
// new file over a source that is still open.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

int descriptor_for(HANDLE handle, int flags) {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) CloseHandle(handle);
    return fd;
}

// ReadFile and WriteFile take a 32-bit count.
constexpr std::size_t IO_PIECE = 1u << 30;

}  // namespace

bool open_input(input_file& in, const std::string& path, bool positioned) {
    std::wstring name = system_path(path);
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    input_file opened;
    LARGE_INTEGER size;
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size)) {
        opened.regular = opened.seekable = true;
        opened.size = size.QuadPart;
    } else if (positioned) {
        CloseHandle(handle);
        return false;
    }
    opened.fd = descriptor_for(handle, _O_RDONLY);
    if (opened.fd < 0) return false;
    in = opened;
    return true;
}

void close_input(input_file& in) {
    if (in.fd >= 0) _close(in.fd);
    in = input_file{};
}

std::int64_t read_at(const input_file& in, std::int64_t offset, void* out, std::size_t n) {
    auto* bytes = static_cast<char*>(out);
    HANDLE handle = handle_of(in.fd);
    std::size_t done = 0;
    while (done < n) {
        DWORD want = static_cast<DWORD>(std::min(n - done, IO_PIECE));
        DWORD got = 0;
        BOOL ok;
        if (in.seekable) {
            OVERLAPPED at{};
            auto position = static_cast<std::uint64_t>(offset) + done;
            at.Offset = static_cast<DWORD>(position);
            at.OffsetHigh = static_cast<DWORD>(position >> 32);
            ok = ReadFile(handle, bytes + done, want, &got, &at);
        } else {
            ok = ReadFile(handle, bytes + done, want, &got, nullptr);
        }
        if (!ok && (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE)) break;
        if (!ok) return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<std::int64_t>(done);
}

namespace {

// The temporary file being written, for the console handler to remove: on
// Ctrl+C, Ctrl+Break or a closed console window. Deleting an open file that
// is shared for deletion takes effect when the process ends a moment later.
std::wstring pending_storage;
std::atomic<const wchar_t*> pending_temp{nullptr};

BOOL WINAPI remove_pending_temp(DWORD) {
    if (const wchar_t* path = pending_temp.load()) DeleteFileW(path);
    return FALSE;  // and let the default handler end the process
}

std::wstring temp_name_beside(const std::wstring& target) {
    static std::mt19937_64 random{std::random_device{}()};
    wchar_t name[40];
    std::swprintf(name, sizeof name / sizeof name[0], L".segsplice-%016llx.tmp",
                  static_cast<unsigned long long>(random()));
    std::size_t slash = target.find_last_of(L'\\');
    return slash == std::wstring::npos ? name : target.substr(0, slash + 1) + name;
}

// The name a handle's file really has, links followed.
std::wstring final_path(HANDLE handle) {
    DWORD n = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
    if (n == 0) return {};
    std::wstring path(n, L'\0');
    n = GetFinalPathNameByHandleW(handle, path.data(), n, FILE_NAME_NORMALIZED);
    path.resize(n);
    return path;
}

// Attributes a replaced file keeps; read-only ones are refused before this.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

bool open_output(output_file& out, const std::string& target) {
    std::wstring path = system_path(target);
    // The attribute binds administrators too, and wine's root user.
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    HANDLE existing = CreateFileW(path.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
    } else if (GetFileType(existing) != FILE_TYPE_DISK) {
        // A device (NUL, CON) is written directly.
        out.path = narrow(path);
        out.fd = descriptor_for(existing, _O_WRONLY);
        return out.fd >= 0;
    } else {
        // A link is replaced at the file it points to, not in its own place.
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) path = final_path(existing);
        CloseHandle(existing);
        if (path.empty()) return false;
        out.replaces_existing = true;
        out.mode = attributes & KEPT_ATTRIBUTES;
    }
    out.path = narrow(path);
    out.dir = narrow(path.substr(0, path.find_last_of(L'\\')));
    SetConsoleCtrlHandler(remove_pending_temp, TRUE);
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring temp;
    for (int attempt = 0; attempt < 16 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = temp_name_beside(path);
        handle = CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    out.fd = descriptor_for(handle, _O_WRONLY);
    if (out.fd < 0) {
        DeleteFileW(temp.c_str());
        return false;
    }
    out.temp = narrow(temp);
    out.regular = true;
    pending_storage = temp;
    pending_temp.store(pending_storage.c_str());
    return true;
}

bool output_is_input(const output_file& out, const input_file& in) {
    BY_HANDLE_FILE_INFORMATION written, read;
    return out.dir.empty() && GetFileInformationByHandle(handle_of(out.fd), &written) &&
           GetFileInformationByHandle(handle_of(in.fd), &read) &&
           written.dwVolumeSerialNumber == read.dwVolumeSerialNumber &&
           written.nFileIndexHigh == read.nFileIndexHigh && written.nFileIndexLow == read.nFileIndexLow;
}

bool write_output(output_file& out, const void* bytes, std::size_t n) {
    HANDLE handle = handle_of(out.fd);
    const char* p = static_cast<const char*>(bytes);
    for (std::size_t left = n; left > 0;) {
        DWORD done = 0;
        if (!WriteFile(handle, p, static_cast<DWORD>(std::min(left, IO_PIECE)), &done, nullptr) || done == 0)
            return false;
        p += done;
        left -= done;
    }
    out.written += static_cast<std::int64_t>(n);
    return true;
}

// Windows has no unnamed files: the console handler removes a named one.
void set_unnamed_temp_allowed(bool) {}

void discard_output(output_file& out) {
    if (out.fd >= 0) _close(out.fd);
    out.fd = -1;
    if (!out.temp.empty()) DeleteFileW(widen(out.temp).c_str());
    out.temp.clear();
    pending_temp.store(nullptr);
}

commit_result commit_output(output_file& out) {
    // The old bytes are at stake only when a target is replaced: then the new
    // ones reach the disk before the move, which is written through as well.
    bool written = !out.replaces_existing || FlushFileBuffers(handle_of(out.fd));
    written = _close(out.fd) == 0 && written;
    out.fd = -1;
    if (out.dir.empty()) return written ? commit_result::done : commit_result::write_failed;
    if (!written) {
        discard_output(out);
        return commit_result::write_failed;
    }
    std::wstring temp = widen(out.temp);
    if (out.mode != 0) SetFileAttributesW(temp.c_str(), out.mode);
    if (!MoveFileExW(temp.c_str(), widen(out.path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        discard_output(out);
        return commit_result::replace_failed;
    }
    pending_temp.store(nullptr);
    out.temp.clear();
    return commit_result::done;
}

// Windows never rewrites a target in place, so it keeps no copy aside.
std::string kept_copy(const output_file& out) { return out.temp; }
