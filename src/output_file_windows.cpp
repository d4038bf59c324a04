#include "output_file.h"

// The file module on Windows. Names arrive in WTF-8 (wtf8.h) and go to the
// wide API as absolute paths that start with \\?\ (no 260-character limit).
// Descriptors are the C runtime's, wrapped around Win32 handles, so the
// header is the same for all.

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <random>
#include <vector>

#include "byte_source.h"
#include "wtf8.h"

namespace {

// False when text is not WTF-8: such bytes name no file, so none is opened.
bool widen(const std::string& text, std::wstring& wide) {
    std::u16string units;
    if (!wtf8_decode(text, units)) return false;
    wide.assign(units.begin(), units.end());
    return true;
}

std::string narrow(const std::wstring& wide) { return wtf8_encode(std::u16string(wide.begin(), wide.end())); }

// The absolute \\?\ form of path; device names (NUL, CON) become \\.\ paths.
std::wstring absolute_path(const std::wstring& path) {
    if (path.empty()) return path;
    DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (n == 0) return path;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
    full.resize(n);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

bool system_path(const std::string& path, std::wstring& wide) {
    if (!widen(path, wide)) return false;
    wide = absolute_path(wide);
    return true;
}

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

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

// The errno value that says what a Windows error code says, so that reasons
// read alike everywhere; EIO for the rest.
int errno_of(DWORD code) {
    static const std::pair<DWORD, int> CODES[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},  {ERROR_PATH_NOT_FOUND, ENOENT},   {ERROR_INVALID_NAME, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES},   {ERROR_SHARING_VIOLATION, EBUSY}, {ERROR_LOCK_VIOLATION, EBUSY},
        {ERROR_DISK_FULL, ENOSPC},       {ERROR_HANDLE_DISK_FULL, ENOSPC}, {ERROR_WRITE_PROTECT, EROFS},
        {ERROR_DIRECTORY, ENOTDIR},      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
    };
    for (const auto& [windows, posix] : CODES)
        if (code == windows) return posix;
    return EIO;
}

// Why path could not be opened, right after the call failed: Windows
// refuses to open a folder as a file with the same code as a locked door.
int open_error(const std::wstring& path) {
    DWORD code = GetLastError();
    DWORD attributes = GetFileAttributesW(path.c_str());
    bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return code == ERROR_ACCESS_DENIED && folder ? EISDIR : errno_of(code);
}

// Standard input: itself where it is a file on disk or need not be
// positioned, else a copy in a temporary file that goes when it is closed.
bool open_standard_input(input_file& in, bool positioned) {
    HANDLE process = GetCurrentProcess();
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(process, GetStdHandle(STD_INPUT_HANDLE), process, &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        in.error = errno_of(GetLastError());
        return false;
    }
    input_file opened;
    LARGE_INTEGER size;
    if (GetFileType(handle) == FILE_TYPE_DISK && GetFileSizeEx(handle, &size)) {
        opened.regular = opened.seekable = true;
        opened.size = size.QuadPart;
    } else if (positioned) {
        wchar_t dir[MAX_PATH + 1];
        wchar_t name[MAX_PATH + 1];
        HANDLE spool = INVALID_HANDLE_VALUE;
        if (GetTempPathW(MAX_PATH + 1, dir) && GetTempFileNameW(dir, L"seg", 0, name))
            spool = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        DWORD error = spool == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        static char buffer[1 << 16];
        for (DWORD got = 0, put = 0; error == 0;) {
            if (!ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && GetLastError() != ERROR_BROKEN_PIPE)
                error = GetLastError();
            if (error != 0 || got == 0) break;
            if (!WriteFile(spool, buffer, got, &put, nullptr) || put != got) error = GetLastError();
            opened.size += got;
        }
        CloseHandle(handle);
        handle = spool;
        if (error != 0) {
            if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
            in.error = errno_of(error);
            return false;
        }
        opened.regular = opened.seekable = true;
    }
    opened.fd = descriptor_for(handle, _O_RDONLY);
    if (opened.fd < 0) {
        in.error = EMFILE;
        return false;
    }
    in = opened;
    return true;
}

}  // namespace

bool open_input(input_file& in, const std::string& path, bool positioned) {
    if (path == "-") return open_standard_input(in, positioned);
    std::wstring name;
    in.error = ENOENT;
    if (!system_path(path, name)) return false;
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        in.error = open_error(name);
        return false;
    }
    input_file opened;
    FILE_STANDARD_INFO standard;
    bool disk = GetFileType(handle) == FILE_TYPE_DISK &&
                GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard);
    if (disk && !standard.Directory) {
        opened.regular = opened.seekable = true;
        opened.size = standard.EndOfFile.QuadPart;
    } else if (positioned || disk) {
        in.error = disk ? EISDIR : ESPIPE;
        CloseHandle(handle);
        return false;
    }
    opened.fd = descriptor_for(handle, _O_RDONLY);
    in.error = EMFILE;
    if (opened.fd < 0) return false;
    in = opened;
    return true;
}

void close_input(input_file& in) {
    if (in.fd >= 0) _close(in.fd);
    in = input_file{};
}

bool name_exists(const std::string& path) {
    std::wstring wide;
    return widen(path, wide) && GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
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

// ---------------------------------------------------------------------------
// What a target name leads to

namespace {

file_query_fault query_fault = file_query_fault::none;

DWORD file_type(HANDLE handle) { return query_fault == file_query_fault::type ? FILE_TYPE_UNKNOWN : GetFileType(handle); }

bool file_information(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return query_fault != file_query_fault::attributes && GetFileInformationByHandle(handle, &info);
}

std::int64_t filetime_value(FILETIME time) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
}

// The name a handle's file has, links followed and in its stored case; on a
// volume without a drive letter, its \\?\Volume{...} form.
std::wstring final_path(HANDLE handle) {
    for (DWORD volume : {VOLUME_NAME_DOS, VOLUME_NAME_GUID}) {
        DWORD n = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | volume);
        if (n == 0) continue;
        std::wstring path(n, L'\0');
        n = GetFinalPathNameByHandleW(handle, path.data(), n, FILE_NAME_NORMALIZED | volume);
        if (n == 0 || n >= path.size()) continue;
        path.resize(n);
        return path;
    }
    return {};
}

// As many links as Windows itself follows in one name.
constexpr int MAX_LINK_HOPS = 63;
constexpr std::uint32_t LINK_IS_RELATIVE = 1;  // SYMLINK_FLAG_RELATIVE

// Where the symbolic link open as link (at link_path) points, from its
// reparse data, laid out little-endian:
//    0  u32  tag (IO_REPARSE_TAG_SYMLINK)      12  u16  print name offset
//    4  u16  data length                       14  u16  print name length
//    8  u16  substitute name offset            16  u32  flags (1: relative)
//   10  u16  substitute name length (bytes)    20       names, UTF-16
// False for other reparse points, junctions included (they name folders),
// and for names this code cannot place: rooted on a drive but relative.
bool link_destination(HANDLE link, const std::wstring& link_path, std::wstring& destination) {
    std::vector<std::uint8_t> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), static_cast<DWORD>(data.size()), &got,
                         nullptr) ||
        got < 20 || got > data.size() || load_u32(data.data(), false) != IO_REPARSE_TAG_SYMLINK)
        return false;
    std::size_t offset = 20 + std::size_t{load_u16(data.data() + 8, false)};
    std::size_t length = load_u16(data.data() + 10, false);
    if (length == 0 || length % 2 != 0 || offset > got || length > got - offset) return false;
    std::wstring name;
    for (std::size_t i = 0; i < length; i += 2) name.push_back(static_cast<wchar_t>(load_u16(&data[offset + i], false)));
    if (!(load_u32(data.data() + 16, false) & LINK_IS_RELATIVE)) {
        if (name.rfind(L"\\??\\", 0) != 0) return false;
        destination = L"\\\\?\\" + name.substr(4);
        return true;
    }
    if (name[0] == L'\\' || name.find(L':') != std::wstring::npos) return false;
    // Relative to the folder the link really is in, as the system resolves
    // it: where the folders above it lead when they are links themselves, so
    // that ".." climbs from there and not from the path as spelled. The
    // \\?\ form is taken off so that ".." resolves.
    HANDLE parent = CreateFileW(parent_of(link_path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE) return false;
    std::wstring folder = final_path(parent);
    CloseHandle(parent);
    if (folder.empty()) return false;
    // A volume without a drive letter keeps its \\?\ form, where nothing
    // resolves "..": such a link is refused.
    if (folder.rfind(L"\\\\?\\Volume{", 0) == 0) {
        if (name.find(L"..") != std::wstring::npos) return false;
        destination = folder + L"\\" + name;
        return true;
    }
    if (folder.rfind(L"\\\\?\\UNC\\", 0) == 0) folder = L"\\\\" + folder.substr(8);
    else if (folder.rfind(L"\\\\?\\", 0) == 0) folder = folder.substr(4);
    destination = absolute_path(folder + L"\\" + name);
    return true;
}

enum class target_state { missing, opened, failed };

// Opens what path names for writing, links followed. A dangling symbolic
// link does not open: it is followed through its reparse data, and path
// becomes the name it would create. Anything else that is there but does not
// open leaves the tool unable to tell what it is: failed.
target_state open_target(std::wstring& path, HANDLE& handle) {
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        handle = CreateFileW(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) return target_state::opened;
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return target_state::failed;
        HANDLE link = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (link == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND ? target_state::missing : target_state::failed;
        std::wstring destination;
        bool followed = link_destination(link, path, destination);
        CloseHandle(link);
        if (!followed) return target_state::failed;
        path = destination;
    }
    return target_state::failed;
}

// True when path itself is no link of any kind (what it names aside), so
// that it can stand for the file where the final name is not to be had.
bool is_plain_name(const std::wstring& path) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag;
    bool plain = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
                 (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !IsReparseTagNameSurrogate(tag.ReparseTag));
    CloseHandle(handle);
    return plain;
}

// Attributes a replaced file keeps; read-only ones are refused before this.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Takes what the result keeps from the existing target open as handle, all
// read from that handle, and sets path to the file's own name. False when
// the target cannot be replaced or its attributes cannot be read.
bool take_target_identity(output_file& out, HANDLE handle, std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info;
    // The read-only attribute binds administrators too, and wine's root user.
    if (!file_information(handle, info) || (info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    std::wstring name = final_path(handle);
    if (name.empty() && is_plain_name(path)) name = path;
    if (name.empty()) return false;
    path = name;
    out.replaces_existing = true;
    out.mode = info.dwFileAttributes & KEPT_ATTRIBUTES;
    out.access_time = filetime_value(info.ftLastAccessTime);
    out.modify_time = filetime_value(info.ftLastWriteTime);
    return true;
}

}  // namespace

void set_file_query_fault(file_query_fault fault) { query_fault = fault; }

// ---------------------------------------------------------------------------
// The temporary file

namespace {

bool unnamed_allowed = true;

// The temporary file being written, for the console handler to remove once
// its deletion mark is cleared, or where it could not be set.
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
    return parent_of(target) + L"\\" + name;
}

// A file marked for deletion goes when its last handle closes, however the
// process ends; Windows has no unnamed files, and this is the nearest.
bool set_delete_mark(HANDLE handle, bool marked) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

bool make_temp_beside(output_file& out, const std::wstring& path) {
    out.path = narrow(path);
    out.dir = narrow(parent_of(path));
    SetConsoleCtrlHandler(remove_pending_temp, TRUE);
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring temp;
    for (int attempt = 0; attempt < 16 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = temp_name_beside(path);
        handle = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    // out.unnamed: the mark is set, and the file leaves no name behind.
    out.unnamed = unnamed_allowed && set_delete_mark(handle, true);
    out.fd = descriptor_for(handle, _O_WRONLY);
    if (out.fd < 0) {
        if (!out.unnamed) DeleteFileW(temp.c_str());
        return false;
    }
    out.temp = narrow(temp);
    out.regular = true;
    pending_storage = temp;
    pending_temp.store(out.unnamed ? nullptr : pending_storage.c_str());
    return true;
}

// Windows makes a device of these names in every folder and under any
// extension (aux.jpg is AUX, sub\nul is NUL): a target so named would feed
// the device, not become a file. NUL and CON spelled alone are meant as
// devices; so is a path in the device namespace (\\.\) or one that turns
// the names off (\\?\).
bool names_a_reserved_device(const std::wstring& target) {
    static const wchar_t* const NAMES[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    auto upper = [](std::wstring text) {
        for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
        return text;
    };
    if (upper(target) == L"NUL" || upper(target) == L"CON") return false;
    if (target.rfind(L"\\\\.\\", 0) == 0 || target.rfind(L"\\\\?\\", 0) == 0) return false;
    std::size_t slash = target.find_last_of(L"\\/");
    std::wstring base = upper(target.substr(slash == std::wstring::npos ? 0 : slash + 1));
    if (base.size() >= 2 && base[1] == L':') base.erase(0, 2);  // C:aux.jpg
    base = base.substr(0, base.find_first_of(L".:"));
    base.erase(base.find_last_not_of(L' ') + 1);
    for (const wchar_t* name : NAMES)
        if (base == name) return true;
    // COM0 to COM9 and LPT0 to LPT9, the superscript digits 1 to 3 too.
    bool port = base.size() == 4 && (base.rfind(L"COM", 0) == 0 || base.rfind(L"LPT", 0) == 0);
    wchar_t digit = port ? base[3] : L'x';
    return (digit >= L'0' && digit <= L'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

namespace {

// Standard output, written as it is, in binary; what the run printed so far
// goes first.
bool open_standard_output(output_file& out) {
    HANDLE process = GetCurrentProcess();
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::fflush(nullptr);
    if (!DuplicateHandle(process, GetStdHandle(STD_OUTPUT_HANDLE), process, &handle, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        out.error = errno_of(GetLastError());
        return false;
    }
    out.path = "-";
    out.fd = descriptor_for(handle, _O_WRONLY);
    out.regular = out.fd >= 0 && GetFileType(handle) == FILE_TYPE_DISK;
    if (out.fd < 0) out.error = EMFILE;
    return out.fd >= 0;
}

}  // namespace

bool open_output(output_file& out, const std::string& target) {
    if (target == "-") return open_standard_output(out);
    std::wstring path;
    out.error = ENOENT;
    if (!widen(target, path)) return false;
    // AUX, COM1, nul.jpg: a device, not a file, whatever the folder.
    if (names_a_reserved_device(path)) {
        out.error = EINVAL;
        return false;
    }
    if (!system_path(target, path)) return false;
    HANDLE existing = INVALID_HANDLE_VALUE;
    target_state state = open_target(path, existing);
    out.error = open_error(path);
    if (state == target_state::failed) return false;
    if (state == target_state::opened) {
        // NUL, a console or a pipe is written directly; a handle of any other
        // type is a file like any other.
        DWORD type = file_type(existing);
        if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
            out.path = narrow(path);
            out.fd = descriptor_for(existing, _O_WRONLY);
            return out.fd >= 0;
        }
        bool replaceable = take_target_identity(out, existing, path);
        CloseHandle(existing);
        out.error = EACCES;
        if (!replaceable) return false;
    }
    if (make_temp_beside(out, path)) return true;
    out.error = errno_of(GetLastError());
    return false;
}

bool output_is_input(const output_file& out, const input_file& in) {
    BY_HANDLE_FILE_INFORMATION written, read;
    return out.dir.empty() && GetFileInformationByHandle(handle_of(out.fd), &written) &&
           GetFileInformationByHandle(handle_of(in.fd), &read) &&
           written.dwVolumeSerialNumber == read.dwVolumeSerialNumber &&
           written.nFileIndexHigh == read.nFileIndexHigh && written.nFileIndexLow == read.nFileIndexLow;
}

bool write_output_at(output_file& out, std::int64_t position, const void* bytes, std::size_t n) {
    HANDLE handle = handle_of(out.fd);
    const char* p = static_cast<const char*>(bytes);
    bool ok = true;
    for (std::size_t done = 0; ok && done < n;) {
        OVERLAPPED at{};
        auto where = static_cast<std::uint64_t>(position) + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD wrote = 0;
        if (!WriteFile(handle, p + done, static_cast<DWORD>(std::min(n - done, IO_PIECE)), &wrote, &at)) {
            out.error = errno_of(GetLastError());
            ok = false;
        } else if (wrote == 0) {
            out.error = ENOSPC;
            ok = false;
        }
        done += wrote;
    }
    // A write at a position moves the handle's own; appends go on from the end.
    LARGE_INTEGER end;
    end.QuadPart = out.written;
    return SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && ok;
}

bool truncate_output(output_file& out, std::int64_t length) {
    HANDLE handle = handle_of(out.fd);
    LARGE_INTEGER at;
    at.QuadPart = length;
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
        out.error = errno_of(GetLastError());
        return false;
    }
    out.written = length;
    return true;
}

bool write_output(output_file& out, const void* bytes, std::size_t n) {
    HANDLE handle = handle_of(out.fd);
    const char* p = static_cast<const char*>(bytes);
    for (std::size_t left = n; left > 0;) {
        DWORD done = 0;
        BOOL ok = WriteFile(handle, p, static_cast<DWORD>(std::min(left, IO_PIECE)), &done, nullptr);
        if (!ok || done == 0) {
            out.error = ok ? ENOSPC : errno_of(GetLastError());
            return false;
        }
        p += done;
        left -= done;
    }
    out.written += static_cast<std::int64_t>(n);
    return true;
}

// Off, the temporary file is not marked for deletion, as where a volume
// refuses the mark: then only the console handler removes it.
void set_unnamed_temp_allowed(bool allowed) { unnamed_allowed = allowed; }

void discard_output(output_file& out) {
    if (out.fd >= 0) _close(out.fd);
    out.fd = -1;
    // A marked file went with its handle, and its name may be another's now.
    std::wstring temp;
    if (!out.temp.empty() && !out.unnamed && widen(out.temp, temp)) DeleteFileW(temp.c_str());
    out.temp.clear();
    pending_temp.store(nullptr);
}

// ---------------------------------------------------------------------------
// Commit

namespace {

// What the result carries beside its bytes: the replaced target's hidden,
// system and not-indexed attributes, the archive bit that tells backups
// (xcopy /m, robocopy /m) it changed, and with -k the target's access and
// write times. Zero times are left as they are.
bool set_result_info(HANDLE handle, const output_file& out) {
    FILE_BASIC_INFO info{};
    info.FileAttributes = out.mode | FILE_ATTRIBUTE_ARCHIVE;
    if (out.keep_times && out.replaces_existing) {
        info.LastAccessTime.QuadPart = out.access_time;
        info.LastWriteTime.QuadPart = out.modify_time;
    }
    return SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info);
}

// ReplaceFileW writes the old file's named streams into the new one, which
// may move its write time, and its documentation does not say what becomes
// of attributes: both are checked on the result, and set again if needed.
void settle_result(const std::wstring& path, const output_file& out) {
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, SHARE_ALL, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION now;
    if (GetFileInformationByHandle(handle, &now) &&
        ((now.dwFileAttributes & (KEPT_ATTRIBUTES | FILE_ATTRIBUTE_ARCHIVE)) != (out.mode | FILE_ATTRIBUTE_ARCHIVE) ||
         (out.keep_times && (filetime_value(now.ftLastWriteTime) != out.modify_time ||
                             filetime_value(now.ftLastAccessTime) != out.access_time))))
        set_result_info(handle, out);
    CloseHandle(handle);
}

// wine's ReplaceFileW is a rename that keeps nothing (wine has no more to
// keep), and wine 8's overwrites its caller's registers on some long names.
bool under_wine() {
    static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

void forget_temp(output_file& out) {
    out.temp.clear();
    pending_temp.store(nullptr);
}

// An antivirus or an indexer may hold the new file or the target open for a
// moment: a step refused for sharing (or, at the last step, access) is tried
// again for about a second before the job fails.
template <typename Step>
bool retry_while_held(Step step, bool access_too) {
    for (int attempt = 0;; ++attempt) {
        if (step()) return true;
        DWORD error = GetLastError();
        bool held = error == ERROR_SHARING_VIOLATION || (access_too && error == ERROR_ACCESS_DENIED);
        if (!held || attempt == 10) {
            SetLastError(error);
            return false;
        }
        Sleep(100);
    }
}

// ReplaceFileW keeps the old file's creation time, ACL, short name and named
// streams. Where it fails (a volume or server that refuses it, a target the
// caller may write but not read) a plain rename replaces the target. A
// failed ReplaceFileW may already have taken the old file away: if the
// rename fails too, the new file is then kept aside under its temporary
// name rather than go as well.
commit_result replace_target(output_file& out, const std::wstring& temp, const std::wstring& path) {
    bool closed = _close(out.fd) == 0;
    out.fd = -1;
    if (!closed) {
        discard_output(out);
        return commit_result::write_failed;
    }
    auto replace = [&] {
        return ReplaceFileW(path.c_str(), temp.c_str(), nullptr,
                            REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr) != 0;
    };
    auto rename = [&] {
        return MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    };
    if (!under_wine() && retry_while_held(replace, false)) {
        settle_result(path, out);
    } else if (!retry_while_held(rename, true)) {
        // Whether the old file is still there, not what it is.
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
            pending_temp.store(nullptr);
            return commit_result::kept_aside;
        }
        discard_output(out);
        return commit_result::replace_failed;
    }
    forget_temp(out);
    return commit_result::done;
}

// A new target takes its name through a hard link, which, unlike a rename,
// never puts a file in the place of whatever holds the name: a link that the
// system cannot follow (wine shows a dangling one as no file at all, and so
// does a server that follows its links itself) makes the job fail instead of
// vanishing. The temporary name then goes with the handle. Volumes without
// hard links (FAT32, exFAT) rename, without replacing anything.
commit_result publish_new_target(output_file& out, const std::wstring& temp, const std::wstring& path) {
    HANDLE handle = handle_of(out.fd);
    bool linked = CreateHardLinkW(path.c_str(), temp.c_str(), nullptr);
    DWORD error = GetLastError();
    out.unnamed = linked && set_delete_mark(handle, true);
    _close(out.fd);
    out.fd = -1;
    if (linked) {
        if (!out.unnamed) DeleteFileW(temp.c_str());
        forget_temp(out);
        return commit_result::done;
    }
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ||
        !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
        discard_output(out);
        return commit_result::replace_failed;
    }
    forget_temp(out);
    return commit_result::done;
}

}  // namespace

commit_result commit_output(output_file& out) {
    HANDLE handle = handle_of(out.fd);
    // The old bytes are at stake only when a target is replaced: then the new
    // ones reach the disk before they take its place.
    bool written = !out.replaces_existing || FlushFileBuffers(handle);
    if (out.dir.empty()) {
        written = _close(out.fd) == 0 && written;
        out.fd = -1;
        return written ? commit_result::done : commit_result::write_failed;
    }
    if (!written) {
        discard_output(out);
        return commit_result::write_failed;
    }
    set_result_info(handle, out);  // an attribute or time that cannot be set fails nothing
    if (out.unnamed && !set_delete_mark(handle, false)) {
        discard_output(out);
        return commit_result::replace_failed;
    }
    out.unnamed = false;
    pending_temp.store(pending_storage.c_str());
    std::wstring temp, path;
    widen(out.temp, temp);
    widen(out.path, path);
    return out.replaces_existing ? replace_target(out, temp, path) : publish_new_target(out, temp, path);
}

// Kept aside only where ReplaceFileW took the old file away and the rename
// failed after it.
std::string kept_copy(const output_file& out) { return out.temp; }
