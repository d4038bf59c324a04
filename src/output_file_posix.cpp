// The file module on POSIX systems, Linux first: unnamed temporary files,
// descriptor names and directory flags are used where the system has them.
//
// A target's name is looked up once (path_lookup.h); from then on everything
// happens relative to the descriptor of the directory found, and whatever is
// opened there is checked to be the file that was looked at. A name swapped
// meanwhile can make a job fail, never write somewhere else.
#include "output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "copy_engine.h"
#include "file_identity.h"
#include "path_lookup.h"

// ---------------------------------------------------------------------------
// Inputs

namespace {

#ifdef O_NOATIME
constexpr int NO_ACCESS_TIME = O_NOATIME;
#else
constexpr int NO_ACCESS_TIME = 0;
#endif

// An input opened without blocking is made blocking again. A FIFO then also
// waits for its writer's first bytes (or its leaving): read at once, it would
// look empty until a writer came.
bool make_blocking(int fd, bool fifo) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    struct pollfd wait = {fd, POLLIN, 0};
    while (fifo && ::poll(&wait, 1, -1) < 0)
        if (errno != EINTR) return false;
    return true;
}

// Standard input: itself where it is a regular file or need not be
// positioned, else a copy in an unnamed temporary file, which only the disk
// bounds.
bool open_standard_input(input_file& in, bool positioned) {
    input_file opened;
    opened.fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    struct stat st = {};
    if (opened.fd < 0 || ::fstat(opened.fd, &st) != 0) {
        in.error = errno;
        if (opened.fd >= 0) ::close(opened.fd);
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        opened.regular = opened.seekable = true;
        opened.size = st.st_size;
    } else if (positioned) {
        std::FILE* spool = std::tmpfile();
        int copy = spool ? ::fcntl(::fileno(spool), F_DUPFD_CLOEXEC, 0) : -1;
        int error = copy < 0 ? errno : 0;
        if (spool) std::fclose(spool);  // the copy's descriptor keeps the file
        static char buffer[1 << 16];
        for (std::int64_t got; error == 0 && (got = read_at(opened, 0, buffer, sizeof buffer)) != 0;) {
            output_file target;
            target.fd = copy;
            if (got < 0 || !write_output(target, buffer, static_cast<std::size_t>(got)))
                error = got < 0 ? errno : target.error;
            opened.size += got;
        }
        ::close(opened.fd);
        opened.fd = copy;
        if (error != 0) {
            if (copy >= 0) ::close(copy);
            in.error = error;
            return false;
        }
        opened.regular = opened.seekable = true;
    }
    in = opened;
    return true;
}

// Waits for an advisory lock on fd: shared while a job reads a file,
// exclusive while one rewrites it in place, so that two runs of the tool never
// see each other's half-written bytes. Where the filesystem has no locks the
// job goes on without.
void lock_file(int fd, int operation) {
    while (::flock(fd, operation) != 0 && errno == EINTR) {
    }
}

// Opens a path longer than the system takes whole a component at a time, as
// a target is looked up (its links followed under the same rules).
int open_long_path(const std::string& path, int flags) {
    path_lookup found;
    int fd = -1;
    if (look_up_target(path, found) && found.exists && found.descriptor < 0)
        fd = ::openat(found.dir_fd, found.name.c_str(), flags | O_NOFOLLOW);
    if (found.dir_fd >= 0) ::close(found.dir_fd);
    return fd;
}

int open_path(const std::string& path, int flags) {
    int fd = ::open(path.c_str(), flags);
    return fd < 0 && errno == ENAMETOOLONG ? open_long_path(path, flags) : fd;
}

}  // namespace

bool open_input(input_file& in, const std::string& path, bool positioned) {
    if (path == "-") return open_standard_input(in, positioned);
    // Opened without blocking, a FIFO can be looked at, and refused where a
    // position is needed, before any writer comes. Reading leaves the access
    // time alone where the caller may ask for that (its own files), so that
    // -k on a photo edited in place keeps the time it had.
    constexpr int FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open_path(path, FLAGS | NO_ACCESS_TIME);
    if (fd < 0 && errno == EPERM && NO_ACCESS_TIME != 0) fd = open_path(path, FLAGS);
    if (fd < 0) {
        in.error = errno;
        return false;
    }
    struct stat st = {};
    input_file opened;
    opened.fd = fd;
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // A regular file is measured once its lock is held: a rewrite that
    // another run finishes meanwhile may change its size.
    if (error == 0 && S_ISREG(st.st_mode)) {
        lock_file(fd, LOCK_SH);
        if (::fstat(fd, &st) != 0) error = errno;
    }
    bool stream = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    if (error == 0 && S_ISREG(st.st_mode)) {
        opened.regular = opened.seekable = true;
        opened.size = st.st_size;
    } else if (off_t end; error == 0 && !stream && (end = ::lseek(fd, 0, SEEK_END)) >= 0) {
        opened.seekable = true;
        opened.size = end;
    }
    if (error == 0 && !opened.seekable && positioned) error = ESPIPE;
    if (error == 0 && !opened.regular && !make_blocking(fd, S_ISFIFO(st.st_mode))) error = errno;
    if (error != 0) {
        ::close(fd);
        in.error = error;
        return false;
    }
    in = opened;
    return true;
}

void close_input(input_file& in) {
    if (in.fd >= 0) ::close(in.fd);
    in = input_file{};
}

bool name_exists(const std::string& path) {
    struct stat st;
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
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
// Signals

namespace {

// Every catchable signal whose default is to end the process.
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

// A temporary file that has a name while it is written, for the handler to
// remove: its directory and its name there.
std::atomic<int> pending_dir{-1};
std::atomic<const char*> pending_name{nullptr};
char pending_storage[64];

void remember_pending(int dir, const std::string& name) {
    pending_name.store(nullptr);
    std::snprintf(pending_storage, sizeof pending_storage, "%s", name.c_str());
    pending_dir.store(dir);
    pending_name.store(pending_storage);
}

void forget_pending() { pending_name.store(nullptr); }

extern "C" void remove_pending_temp(int sig) {
    if (const char* name = pending_name.load()) ::unlinkat(pending_dir.load(), name, 0);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Needed only where the temporary file is named from the start. A signal the
// caller ignores (nohup, a script's background job) stays ignored: it must
// not end a job that was meant to survive it.
void install_signal_handlers() {
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction now;
        if (::sigaction(sig, nullptr, &now) != 0 || now.sa_handler == SIG_IGN) continue;
        struct sigaction clean_up = {};
        clean_up.sa_handler = remove_pending_temp;
        ::sigemptyset(&clean_up.sa_mask);
        ::sigaction(sig, &clean_up, nullptr);
    }
}

// Holds the terminating signals over a step that must not be cut short: the
// instant an unnamed file has a name, or a rewrite in place.
struct held_signals {
    sigset_t previous;
    held_signals() {
        sigset_t set;
        ::sigemptyset(&set);
        for (int sig : CLEANUP_SIGNALS) ::sigaddset(&set, sig);
        ::sigprocmask(SIG_BLOCK, &set, &previous);
    }
    ~held_signals() { ::sigprocmask(SIG_SETMASK, &previous, nullptr); }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
};

}  // namespace

// ---------------------------------------------------------------------------
// Opening the output

namespace {

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool unnamed_allowed = true;

// A file that replaces a target is private until it has the target's
// identity. A new one is made as open makes any new file, so that the umask,
// or the folder's default ACL in its place, gives its permissions.
mode_t temp_mode(const output_file& out) { return out.replaces_existing ? 0600 : 0666; }

std::string random_temp_name() {
    static std::mt19937_64 random{std::random_device{}()};
    char name[40];
    std::snprintf(name, sizeof name, ".segsplice-%016llx.tmp", static_cast<unsigned long long>(random()));
    return name;
}

// An unnamed file in the directory, which nothing can leave behind: it gets
// a name only once it is complete, through /proc. -1 where the filesystem or
// kernel cannot make one, or /proc is missing.
int open_unnamed_temp(int dir, mode_t mode) {
    errno = EOPNOTSUPP;
#ifdef O_TMPFILE
    if (!unnamed_allowed || ::access("/proc/self/fd", X_OK) != 0) return -1;
    return ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#else
    (void)dir;
    (void)mode;
    return -1;
#endif
}

// A file named from the start, where there are no unnamed ones; its name is
// kept for the signal handler until it is renamed or removed. The signals
// wait from before the name is made until the handler knows it.
int open_named_temp(output_file& out) {
    install_signal_handlers();
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = random_temp_name();
        held_signals held;
        int fd = ::openat(out.dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          temp_mode(out));
        if (fd >= 0) {
            out.temp = name;
            remember_pending(out.dir_fd, name);
            return fd;
        }
        if (errno != EEXIST) break;
    }
    return -1;
}

// Files cannot be removed from, nor renamed within, an append-only folder:
// a named temporary file, or one renamed over a target, would stay there.
bool append_only(int dir_read_fd) {
#ifdef FS_IOC_GETFLAGS
    int flags = 0;
    return dir_read_fd >= 0 && ::ioctl(dir_read_fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL);
#else
    (void)dir_read_fd;
    return false;
#endif
}

// The directory opened for reading, for its sync and its flags; -1 where it
// may not be read (mode 0333, say), and then its sync is skipped.
int open_dir_for_reading(int dir) { return ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

bool open_temp(output_file& out) {
    out.unnamed = (out.fd = open_unnamed_temp(out.dir_fd, temp_mode(out))) >= 0;
    if (!out.unnamed) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return false;
        if (out.dir_read_fd < 0) out.dir_read_fd = open_dir_for_reading(out.dir_fd);
        if (append_only(out.dir_read_fd) || (out.fd = open_named_temp(out)) < 0) return false;
    }
    out.regular = true;
    return true;
}

// An existing regular file: replaced by the new one, keeping what it is.
// The write probe keeps a read-only target protected though its directory is
// writable, and lets the caller write a write-only one. It opens without
// blocking, so that a FIFO swapped in meanwhile cannot hold it.
bool open_existing(output_file& out, const path_lookup& r) {
    struct stat st;
    errno = EACCES;  // what a refusal below says, where no call failed
    if (!trusted_in(r.dir_st, r.leaf.st_uid)) return false;
    out.target_fd = ::openat(out.dir_fd, out.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (!is_file_looked_at(out.target_fd, r.leaf, st)) return false;
    out.replaces_existing = true;
    note_target_identity(out, st);
    out.dir_read_fd = open_dir_for_reading(out.dir_fd);
    return !append_only(out.dir_read_fd) && open_temp(out);
}

// A device or a FIFO (/dev/null, a named pipe) cannot be renamed over: it is
// written as it is, once it is known to be what was looked at.
bool open_device(output_file& out, const path_lookup& r) {
    struct stat st;
    errno = EACCES;
    if (S_ISFIFO(r.leaf.st_mode) && !trusted_in(r.dir_st, r.leaf.st_uid)) return false;
    out.fd = ::openat(out.dir_fd, out.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (!is_file_looked_at(out.fd, r.leaf, st)) return false;
    out.dir.clear();
    return true;
}

// Writes straight into a descriptor the caller handed us (a pipe, a file
// opened with > or >>), as it is: no reopening, no truncation, no rename.
// What the run printed so far goes first, so a trace precedes the JPEG.
bool open_descriptor_target(output_file& out, int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0 && (flags & O_ACCMODE) == O_RDONLY) errno = EBADF;
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
    std::fflush(nullptr);
    out.fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    out.regular = out.fd >= 0 && ::fstat(out.fd, &st) == 0 && S_ISREG(st.st_mode);
    return out.fd >= 0;
}

void close_all(output_file& out) {
    close_fd(out.fd);
    close_fd(out.target_fd);
    close_fd(out.dir_read_fd);
    close_fd(out.dir_fd);
}

}  // namespace

void set_unnamed_temp_allowed(bool allowed) { unnamed_allowed = allowed; }

bool open_output(output_file& out, const std::string& target) {
    // Past a file-size limit a write fails and is reported, instead of the
    // signal ending the run, whatever the target.
    std::signal(SIGXFSZ, SIG_IGN);
    out.path = target;
    if (target == "-") {
        if (open_descriptor_target(out, STDOUT_FILENO)) return true;
        out.error = errno;
        return false;
    }
    errno = 0;
    path_lookup r;
    bool resolved = look_up_target(target, r);
    out.dir_fd = r.dir_fd;
    out.dir = r.where.empty() ? "." : r.where;
    out.name = r.name;
    bool opened = false;
    if (resolved && r.descriptor >= 0) {
        close_fd(out.dir_fd);
        out.dir.clear();
        opened = open_descriptor_target(out, r.descriptor);
    } else if (resolved && !r.exists) {
        opened = open_temp(out);
    } else if (resolved && S_ISREG(r.leaf.st_mode)) {
        opened = open_existing(out, r);
    } else if (resolved && !S_ISDIR(r.leaf.st_mode)) {
        opened = open_device(out, r);
    } else if (resolved) {
        errno = EISDIR;
    }
    if (!opened) {
        int error = errno;
        close_all(out);
        out.error = error;
    }
    return opened;
}

bool write_output_at(output_file& out, std::int64_t position, const void* bytes, std::size_t n) {
    const char* p = static_cast<const char*>(bytes);
    for (std::size_t done = 0; done < n;) {
        ssize_t wrote = ::pwrite(out.fd, p + done, n - done, static_cast<off_t>(position + static_cast<std::int64_t>(done)));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            out.error = wrote < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool truncate_output(output_file& out, std::int64_t length) {
    if (::ftruncate(out.fd, length) != 0 || ::lseek(out.fd, length, SEEK_SET) != length) {
        out.error = errno;
        return false;
    }
    out.written = length;
    return true;
}

bool write_output(output_file& out, const void* bytes, std::size_t n) {
    const char* p = static_cast<const char*>(bytes);
    for (std::size_t left = n; left > 0;) {
        ssize_t done = ::write(out.fd, p, left);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            out.error = done < 0 ? errno : ENOSPC;
            return false;
        }
        p += done;
        left -= static_cast<std::size_t>(done);
    }
    out.written += static_cast<std::int64_t>(n);
    return true;
}

bool output_is_input(const output_file& out, const input_file& in) {
    struct stat written, read;
    return out.dir.empty() && ::fstat(out.fd, &written) == 0 && ::fstat(in.fd, &read) == 0 &&
           same_file(written, read);
}

// ---------------------------------------------------------------------------
// Committing

void discard_output(output_file& out) {
    forget_pending();
    if (!out.temp.empty()) ::unlinkat(out.dir_fd, out.temp.c_str(), 0);
    out.temp.clear();
    close_all(out);
}

std::string kept_copy(const output_file& out) {
    return out.dir + (out.dir.back() == '/' ? "" : "/") + out.temp;
}

namespace {

// Gives the complete unnamed file the name `name` in its directory; false
// when that name is taken or the file cannot be linked.
bool link_unnamed(const output_file& out, const std::string& name) {
    std::string proc = "/proc/self/fd/" + std::to_string(out.fd);
    return ::linkat(AT_FDCWD, proc.c_str(), out.dir_fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Gives the complete unnamed file a fresh temporary name beside the target.
bool name_unnamed_temp(output_file& out) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string name = random_temp_name();
        if (link_unnamed(out, name)) {
            out.temp = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    return false;
}

// Renames the named temporary file to the new target's name, unless that
// name was taken meanwhile. Where the system cannot refuse to replace, a
// link and an unlink do the same; where there are no links, a rename.
bool rename_if_free(const output_file& out) {
    const char* temp = out.temp.c_str();
    const char* name = out.name.c_str();
#ifdef RENAME_NOREPLACE
    if (::renameat2(out.dir_fd, temp, out.dir_fd, name, RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    if (::linkat(out.dir_fd, temp, out.dir_fd, name, 0) == 0) {
        (void)::unlinkat(out.dir_fd, temp, 0);
        return true;
    }
    if (errno != EPERM && errno != EOPNOTSUPP) return false;
    return ::renameat(out.dir_fd, temp, out.dir_fd, name) == 0;
}

// A new target takes its name only if nothing took it meanwhile: never over
// a file or a link that appeared after the target was looked at.
commit_result place_new_target(output_file& out) {
    bool placed = out.unnamed ? link_unnamed(out, out.name) : rename_if_free(out);
    if (!placed) {
        out.error = errno;
        discard_output(out);
        return commit_result::replace_failed;
    }
    forget_pending();
    out.temp.clear();
    // Some filesystems (NFS) report a failed write only here; the name just
    // made is then taken back.
    int fd = out.fd;
    out.fd = -1;
    if (::close(fd) != 0) {
        out.error = errno;
        ::unlinkat(out.dir_fd, out.name.c_str(), 0);
        close_all(out);
        return commit_result::write_failed;
    }
    close_all(out);
    return commit_result::done;
}

// Where the caller may write the target but not rename over it (the folder
// owner's file in a sticky folder), the new bytes are copied into the target
// itself. By then the complete new file is synced beside it under a name of
// its own and the signals are held, so a kill, a full disk or a failing write
// leaves the old file whole or the new one whole, never neither. Room for
// the new bytes is claimed first, so that a full disk fails before anything
// is overwritten.
commit_result rewrite_in_place(output_file& out) {
    forget_pending();  // the handler must not remove the one complete copy
    // Its name must survive a power cut as well as its bytes.
    if (out.dir_read_fd >= 0) (void)::fsync(out.dir_read_fd);
#ifdef FALLOC_FL_KEEP_SIZE
    if (::fallocate(out.target_fd, FALLOC_FL_KEEP_SIZE, 0, out.written) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS) {
        out.error = errno;
        discard_output(out);
        return commit_result::write_failed;
    }
#endif
    input_file made;
    made.fd = out.fd;
    made.regular = made.seekable = true;
    made.size = out.written;
    output_file target;
    target.fd = out.target_fd;
    target.regular = true;
    bool rewritten = copy_range(target, made, 0, out.written) == copy_result::done &&
                     ::ftruncate(out.target_fd, out.written) == 0;
    // The target keeps its own times or not, whatever the copy beside it got.
    out.times_kept = true;
    if (rewritten && out.keep_times) keep_target_times(out, out.target_fd);
    rewritten = rewritten && ::fsync(out.target_fd) == 0;
    if (!rewritten) {
        if (out.error == 0) out.error = errno;
        close_all(out);
        return commit_result::kept_aside;
    }
    discard_output(out);
    return commit_result::done;
}

// Whether a refused rename means that this caller may write the target but
// not rename over it: EPERM, or EACCES from a system that says so for a
// sticky folder's protected file. Any other EACCES (a security module, a
// network filesystem) is a failure like any other.
bool rename_forbidden_here(const output_file& out, int error) {
    struct stat dir;
    uid_t caller = ::geteuid();
    return error == EPERM || (error == EACCES && ::fstat(out.dir_fd, &dir) == 0 && (dir.st_mode & S_ISVTX) &&
                              caller != out.owner && caller != dir.st_uid);
}

// An existing target is replaced by a rename, which is atomic: the name
// holds the old file or the new one at every moment. Once it is replaced the
// job has succeeded; the directory's sync only makes the rename durable.
commit_result replace_target(output_file& out) {
    {
        held_signals held;
        if (out.unnamed && !name_unnamed_temp(out)) {
            out.error = errno;
            discard_output(out);
            return commit_result::replace_failed;
        }
        if (::renameat(out.dir_fd, out.temp.c_str(), out.dir_fd, out.name.c_str()) == 0) {
            forget_pending();
            out.temp.clear();
            if (out.dir_read_fd >= 0) (void)::fsync(out.dir_read_fd);
            close_all(out);
            return commit_result::done;
        }
        if (!rename_forbidden_here(out, errno)) {
            out.error = errno;
            discard_output(out);
            return commit_result::replace_failed;
        }
        install_signal_handlers();
        remember_pending(out.dir_fd, out.temp);
    }
    // Another run may be reading the target, or rewriting it: the rewrite
    // waits for them. A signal meanwhile removes the new file and leaves the
    // target as it was.
    lock_file(out.target_fd, LOCK_EX);
    held_signals held;
    return rewrite_in_place(out);
}

}  // namespace

commit_result commit_output(output_file& out) {
    if (out.dir.empty()) {
        int fd = out.fd;
        out.fd = -1;
        bool written = ::close(fd) == 0;
        if (!written) out.error = errno;
        close_all(out);
        return written ? commit_result::done : commit_result::write_failed;
    }
    give_target_identity(out);
    if (!out.replaces_existing) return place_new_target(out);
    // The old bytes are at stake: the new ones reach the disk before the
    // rename can, on every filesystem.
    if (::fsync(out.fd) != 0) {
        out.error = errno;
        discard_output(out);
        return commit_result::write_failed;
    }
    // The times are only part of the job: the new file goes in its place
    // even without them, and the caller says so.
    commit_result result = replace_target(out);
    return result == commit_result::done && !out.times_kept ? commit_result::times_not_kept : result;
}
