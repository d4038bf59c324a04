#include "output_file.h"

#ifdef _WIN32
// ---------------------------------------------------------------------------
// Windows. Names arrive in UTF-8 and go to the wide API as absolute paths
// that start with \\?\ (no 260-character limit). Descriptors are the C
// runtime's, wrapped around Win32 handles, so the header is the same for all.

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

#else

#include <fcntl.h>
#ifdef __linux__
#include <sys/statfs.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Inputs

bool open_input(input_file& in, const std::string& path, bool positioned) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (positioned && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    input_file opened;
    opened.fd = fd;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        opened.regular = opened.seekable = true;
        opened.size = st.st_size;
    } else if (off_t end = ::lseek(fd, 0, SEEK_END); end >= 0) {
        opened.seekable = true;
        opened.size = end;
    } else if (positioned) {
        ::close(fd);
        return false;
    }
    in = opened;
    return true;
}

void close_input(input_file& in) {
    if (in.fd >= 0) ::close(in.fd);
    in = input_file{};
}

std::int64_t read_at(const input_file& in, std::int64_t offset, void* out, std::size_t n) {
    auto* bytes = static_cast<char*>(out);
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = in.seekable ? ::pread(in.fd, bytes + done, n - done, offset + static_cast<std::int64_t>(done))
                                  : ::read(in.fd, bytes + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

// ---------------------------------------------------------------------------
// Clean-up on signals

namespace {

// The temporary file being written, for the signal handler to remove.
std::atomic<const char*> pending_temp{nullptr};

extern "C" void remove_pending_temp(int sig) {
    if (const char* path = pending_temp.load()) ::unlink(path);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Every catchable signal whose default is to end the process.
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

// A signal the caller ignores (nohup, a script's background job) stays
// ignored: it must not end a job that was meant to survive it.
void install_signal_handlers() {
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction clean_up = {};
        clean_up.sa_handler = remove_pending_temp;
        ::sigemptyset(&clean_up.sa_mask);
        ::sigaction(sig, &clean_up, nullptr);
    }
    // Past a file-size limit, a write should fail and be reported, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace

// ---------------------------------------------------------------------------
// The output

namespace {

std::string random_temp_name(const std::string& dir) {
    static std::mt19937_64 random{std::random_device{}()};
    char name[40];
    std::snprintf(name, sizeof name, ".segsplice-%016llx.tmp", static_cast<unsigned long long>(random()));
    return dir + "/" + name;
}

bool write_all(int fd, const void* bytes, std::size_t n) {
    const char* p = static_cast<const char*>(bytes);
    while (n > 0) {
        ssize_t done = ::write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

// An unnamed file in dir, which nothing can leave behind: it has a name only
// once it is complete. -1 where the filesystem or kernel cannot make one, or
// where /proc, through which it gets its name, is missing.
bool unnamed_allowed = true;

int open_unnamed_temp(const std::string& dir) {
    errno = EOPNOTSUPP;
#ifdef O_TMPFILE
    if (!unnamed_allowed || ::access("/proc/self/fd", X_OK) != 0) return -1;
    return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
#else
    (void)dir;
    return -1;
#endif
}

// A named file in dir for systems without unnamed ones; its name is kept for
// the signal handler until it is renamed or removed.
int open_named_temp(output_file& out) {
    std::string pattern = out.dir + "/.segsplice-XXXXXX.tmp";
    int fd = ::mkstemps(pattern.data(), 4);
    if (fd < 0) return -1;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    out.temp = pattern;
    pending_temp.store(out.temp.c_str());
    return fd;
}

// Gives the complete unnamed file a fresh name beside the target.
bool name_unnamed_temp(output_file& out) {
    std::string proc = "/proc/self/fd/" + std::to_string(out.fd);
    for (int attempt = 0; attempt < 16; ++attempt) {
        out.temp = random_temp_name(out.dir);
        pending_temp.store(out.temp.c_str());
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, out.temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        pending_temp.store(nullptr);
        if (errno != EEXIST) break;
    }
    out.temp.clear();
    return false;
}

// The temporary file is private (0600) while it is written; just before it
// takes the target's place it gets the target's owner and group, where the
// caller may give them (root, or a group the caller is in), and then its
// permission bits, which a change of owner may have cleared the set-id bits of.
void give_target_identity(const output_file& out) {
    if (out.replaces_existing && ::fchown(out.fd, out.owner, out.group) != 0)
        (void)::fchown(out.fd, static_cast<uid_t>(-1), out.group);
    ::fchmod(out.fd, static_cast<mode_t>(out.mode));
}

// A sticky directory lets the caller write a file it does not own but not
// rename over it. Then the finished file is copied into the target in place,
// as `cat > file` would: not atomic, but the target's owner and mode stay.
commit_result copy_into_target(const output_file& out) {
    input_file made;
    output_file target;
    target.fd = ::open(out.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (target.fd < 0 || !open_input(made, out.temp, true)) {
        if (target.fd >= 0) ::close(target.fd);
        return commit_result::replace_failed;
    }
    target.regular = true;
    bool copied = copy_range(target, made, 0, -1) == copy_result::done && ::fsync(target.fd) == 0;
    copied = ::close(target.fd) == 0 && copied;
    close_input(made);
    return copied ? commit_result::done : commit_result::write_failed;
}

// Makes a rename in dir survive a power cut.
bool sync_directory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

std::string directory_of(const std::string& path) {
    std::string dir = fs::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

}  // namespace

void set_unnamed_temp_allowed(bool allowed) { unnamed_allowed = allowed; }

namespace {

std::string read_link(const std::string& path, std::size_t size_hint) {
    std::string text(size_hint + 1, '\0');
    ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
    if (n < 0 || static_cast<std::size_t>(n) >= text.size()) return "";
    text.resize(static_cast<std::size_t>(n));
    return text;
}

// The kernel's protected_symlinks rule, applied whatever the sysctl says: in
// a sticky, world-writable directory such as /tmp, a link is followed only
// when it belongs to the caller or to the directory's owner, so that nobody
// can point a name the caller is about to write at the caller's own files.
bool may_follow(const std::string& link_path, const struct stat& link) {
    struct stat dir;
    if (::stat(directory_of(link_path).c_str(), &dir) != 0) return false;
    bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || link.st_uid == ::geteuid() || link.st_uid == dir.st_uid;
}

// The descriptor of this process that path names (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N, /proc/PID/fd/N with our PID), or -1.
int named_descriptor(const std::string& path) {
    static const std::pair<const char*, int> STANDARD[] = {{"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const auto& [name, fd] : STANDARD)
        if (path == name) return fd;
    const std::string prefixes[] = {"/dev/fd/", "/proc/self/fd/", "/proc/" + std::to_string(::getpid()) + "/fd/"};
    for (const std::string& prefix : prefixes) {
        if (path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string digits = path.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::stoi(digits);
    }
    return -1;
}

struct resolved_target {
    std::string path;     // the file to replace or make; empty when refused
    int descriptor = -1;  // or the open descriptor the target names
};

// Follows the target's own symbolic links one by one, as the kernel would,
// so that the rule above gets its say at every hop. A link to a file that
// does not exist yet gives the path where it is to be made; a name for one of
// our descriptors stops the walk there. The path is empty when a link may
// not be followed, cannot be read or the chain is too long.
resolved_target resolve_target(const std::string& target) {
    constexpr int MAX_HOPS = 40;
    std::string path = target;
    for (int hop = 0; hop <= MAX_HOPS; ++hop) {
        if (int fd = named_descriptor(path); fd >= 0) return {path, fd};
        struct stat link;
        if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return {path};
        if (!may_follow(path, link)) return {};
        std::string to = read_link(path, static_cast<std::size_t>(link.st_size > 0 ? link.st_size : 4096));
        if (to.empty()) return {};
        path = to[0] == '/' ? to : directory_of(path) + "/" + to;
    }
    return {};
}

// What the filesystem under the output does with a kernel copy.
void note_filesystem(output_file& out) {
    struct stat st;
    if (::fstat(out.fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    out.regular = true;
    if (st.st_blksize > 0) out.block_size = st.st_blksize;
#ifdef __linux__
    static const std::pair<unsigned long, output_filesystem> KINDS[] = {
        {0x9123683EUL, output_filesystem::shares_blocks},  // btrfs
        {0x58465342UL, output_filesystem::shares_blocks},  // XFS
        {0xCA451A4EUL, output_filesystem::shares_blocks},  // bcachefs
        {0x6969UL, output_filesystem::network},            // NFS
        {0xFE534D42UL, output_filesystem::network},        // SMB2/3
        {0xFF534D42UL, output_filesystem::network},        // CIFS
    };
    struct statfs fs;
    if (::fstatfs(out.fd, &fs) != 0) return;
    for (const auto& [magic, kind] : KINDS)
        if (static_cast<unsigned long>(fs.f_type) == magic) out.filesystem = kind;
#endif
}

// Writes straight into a descriptor the caller handed us (a pipe, a file
// opened with > or >>), as it is: no reopening, no truncation, no rename.
// What the run printed so far goes first, so a trace precedes the JPEG.
bool open_descriptor_target(output_file& out, int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
    std::fflush(nullptr);
    out.fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (out.fd < 0) return false;
    note_filesystem(out);
    return true;
}

mode_t process_umask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

}  // namespace

bool open_output(output_file& out, const std::string& target) {
    resolved_target resolved = resolve_target(target);
    out.path = resolved.path;
    if (resolved.descriptor >= 0) return open_descriptor_target(out, resolved.descriptor);
    if (out.path.empty()) return false;
    struct stat st;
    bool exists = ::stat(out.path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or pipe (/dev/null, /dev/stdout) cannot be renamed over.
        out.fd = ::open(out.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return out.fd >= 0;
    }
    if (exists) {
        // A read-only target stays protected even though its directory is
        // writable; a write-only one is the caller's to write.
        int probe = ::open(out.path.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) return false;
        ::close(probe);
        out.replaces_existing = true;
        out.mode = st.st_mode & 07777;
        out.owner = st.st_uid;
        out.group = st.st_gid;
    } else {
        out.mode = 0666 & ~process_umask();
    }
    install_signal_handlers();
    out.dir = directory_of(out.path);
    out.unnamed = (out.fd = open_unnamed_temp(out.dir)) >= 0;
    if (!out.unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return false;
    if (!out.unnamed && (out.fd = open_named_temp(out)) < 0) return false;
    note_filesystem(out);
    return true;
}

bool write_output(output_file& out, const void* bytes, std::size_t n) {
    if (!write_all(out.fd, bytes, n)) return false;
    out.written += static_cast<std::int64_t>(n);
    return true;
}

void discard_output(output_file& out) {
    if (out.fd >= 0) ::close(out.fd);
    out.fd = -1;
    if (!out.temp.empty()) ::unlink(out.temp.c_str());
    out.temp.clear();
    pending_temp.store(nullptr);
}

commit_result commit_output(output_file& out) {
    bool direct = out.dir.empty();
    if (direct) {
        bool written = ::close(out.fd) == 0;
        out.fd = -1;
        return written ? commit_result::done : commit_result::write_failed;
    }
    give_target_identity(out);
    // The old bytes are at stake only when a target is replaced: then the new
    // ones reach the disk before the rename can, on every filesystem.
    bool written = !out.replaces_existing || ::fsync(out.fd) == 0;
    if (!written) {
        discard_output(out);
        return commit_result::write_failed;
    }
    if (out.unnamed && !name_unnamed_temp(out)) {
        discard_output(out);
        return commit_result::replace_failed;
    }
    written = ::close(out.fd) == 0;
    out.fd = -1;
    if (!written) {
        discard_output(out);
        return commit_result::write_failed;
    }
    if (::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        bool refused = out.replaces_existing && (errno == EPERM || errno == EACCES);
        commit_result result = refused ? copy_into_target(out) : commit_result::replace_failed;
        discard_output(out);
        return result;
    }
    pending_temp.store(nullptr);
    out.temp.clear();
    if (out.replaces_existing && !sync_directory(out.dir)) return commit_result::write_failed;
    return commit_result::done;
}

#endif  // _WIN32

// ---------------------------------------------------------------------------
// Copies

namespace {

constexpr std::size_t COPY_BLOCK = 1 << 18;

// Copies through a buffer. Each block ends where the output reaches a
// multiple of the block size, so that after the first one the writes cover
// whole aligned pages, which the page cache takes fastest. The block is small
// enough to stay in the processor's cache between read and write.
copy_result copy_by_blocks(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length) {
    static char buffer[COPY_BLOCK];
    bool to_end = length < 0;
    while (to_end || length > 0) {
        std::size_t want = COPY_BLOCK - static_cast<std::size_t>(out.written % COPY_BLOCK);
        if (!to_end && length < static_cast<std::int64_t>(want)) want = static_cast<std::size_t>(length);
        std::int64_t got = read_at(in, offset, buffer, want);
        if (got < 0) return copy_result::read_failed;
        if (got > 0 && !write_output(out, buffer, static_cast<std::size_t>(got))) return copy_result::write_failed;
        offset += got;
        if (!to_end) length -= got;
        if (static_cast<std::size_t>(got) < want) return to_end ? copy_result::done : copy_result::short_input;
    }
    return copy_result::done;
}

}  // namespace

#ifdef __linux__
std::int64_t system_kernel_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n) {
    off_t offset = *in_offset;
    ssize_t done = ::copy_file_range(in_fd, &offset, out_fd, nullptr, n, 0);
    if (done > 0) *in_offset = offset;
    return done;
}

std::int64_t system_pipe_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n) {
    static int pipe_fds[2] = {-1, -1};
    static std::size_t pipe_size = 0;
    auto drop_pipe = [] {
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        pipe_fds[0] = pipe_fds[1] = -1;
    };
    if (pipe_fds[0] < 0) {
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
        ::fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 20);
        int size = ::fcntl(pipe_fds[1], F_GETPIPE_SZ);
        pipe_size = size > 0 ? static_cast<std::size_t>(size) : 4096;
    }
    loff_t offset = *in_offset;
    ssize_t filled = ::splice(in_fd, &offset, pipe_fds[1], nullptr, std::min(n, pipe_size), SPLICE_F_MOVE);
    if (filled <= 0) return filled;
    ssize_t done = 0;
    while (done < filled) {
        ssize_t moved = ::splice(pipe_fds[0], nullptr, out_fd, nullptr, static_cast<std::size_t>(filled - done), SPLICE_F_MOVE);
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) {
            // What stays in the pipe is not written: the caller goes on
            // from the last byte that was, with an empty pipe next time.
            int error = errno;
            drop_pipe();
            errno = error;
            if (done == 0) return moved;
            break;
        }
        done += moved;
    }
    *in_offset += done;
    return done;
}

#else
// Elsewhere the kernel copies nothing and the buffer does it all.
std::int64_t system_kernel_copy(int, std::int64_t*, int, std::size_t) {
    errno = ENOSYS;
    return -1;
}

std::int64_t system_pipe_copy(int, std::int64_t*, int, std::size_t) {
    errno = ENOSYS;
    return -1;
}
#endif

namespace {

kernel_copy_fn kernel_copy = system_kernel_copy;
kernel_copy_fn pipe_copy = system_pipe_copy;

// Hands up to length bytes to the kernel, which copies them without a trip
// through this process and, on network filesystems, on the server. Stops
// early, leaving the rest to the buffer, wherever the kernel refuses (another
// filesystem, a pseudo-file that reports 0, an append-only file); a real
// read or write fault shows up again there and is reported as such.
std::int64_t copy_by_kernel(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length,
                            kernel_copy_fn copy) {
    constexpr std::int64_t MAX_CALL = 1 << 30;
    std::int64_t copied = 0;
    while (copied < length) {
        std::int64_t at = offset + copied;
        std::int64_t done = copy(in.fd, &at, out.fd, static_cast<std::size_t>(std::min(length - copied, MAX_CALL)));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        copied += done;
        out.written += done;
    }
    return copied;
}

}  // namespace

void set_kernel_copy(kernel_copy_fn fn) {
    kernel_copy = fn ? fn : system_kernel_copy;
    pipe_copy = fn ? fn : system_pipe_copy;
}

namespace {

// The kernel's copy_file_range copies a range at its best where the range
// keeps its place within a 64 KiB window: the page cache then holds the copy
// in large pieces, as it does for cp. A range that moves by some other amount
// it would write in 4 KiB pieces, which cost a fifth more; such a range goes
// through a pipe instead, in pieces as large as the pipe, unless
// copy_file_range is the only way to share blocks (a copy-on-write
// filesystem, moved by whole blocks) or to keep the bytes off the network
// (NFS, SMB, where the server copies). Returns the alignment at which to
// hand the range to copy_file_range, or 0 for the pipe.
std::int64_t kernel_alignment(const output_file& out, std::int64_t distance) {
    constexpr std::int64_t LARGE_PAGE = 64 * 1024;
    if (out.filesystem == output_filesystem::network) return 1;
    if (out.filesystem == output_filesystem::shares_blocks && distance % out.block_size == 0) return out.block_size;
    if (distance % LARGE_PAGE == 0) return LARGE_PAGE;
    return 0;
}

}  // namespace

copy_result copy_range(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length) {
    if (in.regular && out.regular) {
        std::int64_t want = length >= 0 ? length : std::max<std::int64_t>(0, in.size - offset);
        std::int64_t align = kernel_alignment(out, out.written - offset);
        // The bytes up to the source's next boundary go through the buffer,
        // so that the kernel gets the rest at aligned offsets in both files.
        std::int64_t lead = align > 0 ? (align - offset % align) % align : 0;
        if (lead > 0 && lead < want) {
            copy_result result = copy_by_blocks(out, in, offset, lead);
            if (result != copy_result::done) return result;
            offset += lead;
            want -= lead;
            if (length >= 0) length -= lead;
        }
        std::int64_t copied = copy_by_kernel(out, in, offset, want, align > 0 ? kernel_copy : pipe_copy);
        offset += copied;
        if (length >= 0 && (length -= copied) == 0) return copy_result::done;
    }
    // Whatever the kernel did not take: all of it for devices and pipes, the
    // rest after a refusal, and anything a growing source added past its size.
    return copy_by_blocks(out, in, offset, length);
}
