#include "output_file.h"

#include <fcntl.h>
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

void install_signal_handlers() {
    std::signal(SIGINT, remove_pending_temp);
    std::signal(SIGTERM, remove_pending_temp);
    std::signal(SIGHUP, remove_pending_temp);
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
    return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
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

bool open_output(output_file& out, const std::string& target) {
    std::error_code ec;
    fs::path path = target;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        path = fs::weakly_canonical(path, ec);
        if (ec) return false;
    }
    out.path = path.string();
    struct stat st;
    bool exists = ::stat(out.path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or pipe (/dev/null, /dev/stdout) cannot be renamed over.
        out.fd = ::open(out.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        return out.fd >= 0;
    }
    if (exists) {
        // A read-only target stays protected even though its directory is writable.
        int probe = ::open(out.path.c_str(), O_RDWR | O_CLOEXEC);
        if (probe < 0) return false;
        ::close(probe);
        out.replaces_existing = true;
        out.mode = st.st_mode & 07777;
    }
    install_signal_handlers();
    out.dir = directory_of(out.path);
    out.unnamed = (out.fd = open_unnamed_temp(out.dir)) >= 0;
    if (!out.unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) return false;
    if (!out.unnamed && (out.fd = open_named_temp(out)) < 0) return false;
    out.regular = true;
    struct stat made;
    if (::fstat(out.fd, &made) == 0 && made.st_blksize > 0) out.block_size = made.st_blksize;
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
    if (out.replaces_existing) ::fchmod(out.fd, out.mode);
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
        discard_output(out);
        return commit_result::replace_failed;
    }
    pending_temp.store(nullptr);
    out.temp.clear();
    if (out.replaces_existing && !sync_directory(out.dir)) return commit_result::write_failed;
    return commit_result::done;
}

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

std::int64_t system_kernel_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n) {
#ifdef __linux__
    off_t offset = *in_offset;
    ssize_t done = ::copy_file_range(in_fd, &offset, out_fd, nullptr, n, 0);
    if (done > 0) *in_offset = offset;
    return done;
#else
    (void)in_fd, (void)in_offset, (void)out_fd, (void)n;
    errno = ENOSYS;
    return -1;
#endif
}

namespace {

kernel_copy_fn kernel_copy = system_kernel_copy;

// Hands up to length bytes to the kernel, which copies them without a trip
// through this process and, on network filesystems, on the server. Stops
// early, leaving the rest to the buffer, wherever the kernel refuses (another
// filesystem, a pseudo-file that reports 0, an append-only file); a real
// read or write fault shows up again there and is reported as such.
std::int64_t copy_by_kernel(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length) {
    constexpr std::int64_t MAX_CALL = 1 << 30;
    std::int64_t copied = 0;
    while (copied < length) {
        std::int64_t at = offset + copied;
        std::int64_t done = kernel_copy(in.fd, &at, out.fd, static_cast<std::size_t>(std::min(length - copied, MAX_CALL)));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        copied += done;
        out.written += done;
    }
    return copied;
}

}  // namespace

void set_kernel_copy(kernel_copy_fn fn) { kernel_copy = fn ? fn : system_kernel_copy; }

copy_result copy_range(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length) {
    if (in.regular && out.regular) {
        std::int64_t want = length >= 0 ? length : std::max<std::int64_t>(0, in.size - offset);
        // Copy-on-write filesystems share blocks only between offsets that
        // are both block-aligned. When the range lands a whole number of
        // blocks from where it starts (a segment replaced by one of the same
        // length), the bytes up to the source's next boundary go through the
        // buffer, and the kernel gets the rest at aligned offsets.
        std::int64_t block = out.block_size;
        std::int64_t lead = block - offset % block;
        if ((out.written - offset) % block == 0 && lead < block && lead < want) {
            copy_result result = copy_by_blocks(out, in, offset, lead);
            if (result != copy_result::done) return result;
            offset += lead;
            want -= lead;
            if (length >= 0) length -= lead;
        }
        std::int64_t copied = copy_by_kernel(out, in, offset, want);
        offset += copied;
        if (length >= 0 && (length -= copied) == 0) return copy_result::done;
    }
    // Whatever the kernel left: all of it for devices and pipes, the rest
    // after a refusal, and anything a growing source added past its size.
    return copy_by_blocks(out, in, offset, length);
}
