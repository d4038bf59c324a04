// The file module on POSIX systems, Linux first: its unnamed temporary files,
// kernel copies and descriptor names are used where the system has them.
#include "output_file.h"

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

#include "copy_engine.h"

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
        if (::fchown(out.fd, static_cast<uid_t>(-1), out.group) != 0) {}  // else it stays the caller's
    ::fchmod(out.fd, static_cast<mode_t>(out.mode));
    if (out.keep_times && out.replaces_existing) {
        struct timespec times[2] = {{static_cast<time_t>(out.access_time / 1000000000), static_cast<long>(out.access_time % 1000000000)},
                                    {static_cast<time_t>(out.modify_time / 1000000000), static_cast<long>(out.modify_time % 1000000000)}};
        ::futimens(out.fd, times);
    }
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
        out.access_time = st.st_atim.tv_sec * 1000000000LL + st.st_atim.tv_nsec;
        out.modify_time = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
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

bool output_is_input(const output_file& out, const input_file& in) {
    struct stat written, read;
    return out.dir.empty() && ::fstat(out.fd, &written) == 0 && ::fstat(in.fd, &read) == 0 &&
           written.st_dev == read.st_dev && written.st_ino == read.st_ino;
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

