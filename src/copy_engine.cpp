#include "copy_engine.h"

#include <algorithm>
#include <cerrno>

#ifdef SEGSPLICE_KERNEL_COPY
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#endif

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
        if (got < 0) {
            out.error = errno;
            return copy_result::read_failed;
        }
        if (got > 0 && !write_output(out, buffer, static_cast<std::size_t>(got))) return copy_result::write_failed;
        offset += got;
        if (!to_end) length -= got;
        if (static_cast<std::size_t>(got) < want) return to_end ? copy_result::done : copy_result::short_input;
    }
    return copy_result::done;
}

}  // namespace

#ifdef SEGSPLICE_KERNEL_COPY
std::int64_t system_kernel_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n) {
    loff_t offset = *in_offset;
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
// Without these calls the kernel copies nothing and the buffer does it all.
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
copy_observer_fn copy_observer = nullptr;

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

void set_copy_observer(copy_observer_fn fn) { copy_observer = fn; }

void set_kernel_copy(kernel_copy_fn fn) {
    kernel_copy = fn ? fn : system_kernel_copy;
    pipe_copy = fn ? fn : system_pipe_copy;
}

namespace {

// What the filesystem under the output does with a kernel copy, asked only
// once a kernel copy is being chosen.
void learn_filesystem(output_file& out) {
    out.filesystem_known = true;
#ifdef SEGSPLICE_KERNEL_COPY
    static const std::pair<unsigned long, output_filesystem> KINDS[] = {
        {0x9123683EUL, output_filesystem::shares_blocks},  // btrfs
        {0x58465342UL, output_filesystem::shares_blocks},  // XFS
        {0xCA451A4EUL, output_filesystem::shares_blocks},  // bcachefs
        {0x6969UL, output_filesystem::network},            // NFS
        {0xFE534D42UL, output_filesystem::network},        // SMB2/3
        {0xFF534D42UL, output_filesystem::network},        // CIFS
    };
    struct stat st;
    if (::fstat(out.fd, &st) == 0 && st.st_blksize > 0) out.block_size = st.st_blksize;
    struct statfs fs;
    if (::fstatfs(out.fd, &fs) != 0) return;
    for (const auto& [magic, kind] : KINDS)
        if (static_cast<unsigned long>(fs.f_type) == magic) out.filesystem = kind;
#endif
}

// The kernel's copy_file_range copies a range at its best where the range
// keeps its place within a 64 KiB window: the page cache then holds the copy
// in large pieces, as it does for cp. A range that moves by some other amount
// it would write in 4 KiB pieces, which cost a fifth more; such a range goes
// through a pipe instead, in pieces as large as the pipe, unless
// copy_file_range is the only way to share blocks (a copy-on-write
// filesystem, moved by whole blocks) or to keep the bytes off the network
// (NFS, SMB, where the server copies). Returns the alignment at which to
// hand the range to copy_file_range, or 0 for the pipe.
std::int64_t kernel_alignment(output_file& out, std::int64_t distance) {
    constexpr std::int64_t LARGE_PAGE = 64 * 1024;
    if (!out.filesystem_known) learn_filesystem(out);
    if (out.filesystem == output_filesystem::network) return 1;
    if (out.filesystem == output_filesystem::shares_blocks && distance % out.block_size == 0) return out.block_size;
    if (distance % LARGE_PAGE == 0) return LARGE_PAGE;
    return 0;
}

}  // namespace

copy_result copy_range(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length) {
    if (copy_observer) copy_observer(in, offset, length);
    // The end of a file that can be positioned is where it ended when it was
    // opened: a source that grows while it is copied (the output appended to
    // it) is not followed, and one that shrinks leaves the copy short. Only a
    // stream is copied until it ends, wherever that is.
    if (length < 0 && in.seekable) length = std::max<std::int64_t>(0, in.size - offset);
    // A small range costs less as one read and one write than as kernel calls.
    constexpr std::int64_t SMALL_RANGE = 64 * 1024;
    if (in.regular && out.regular && length >= SMALL_RANGE) {
        std::int64_t align = kernel_alignment(out, out.written - offset);
        // The bytes up to the source's next boundary go through the buffer,
        // so that the kernel gets the rest at aligned offsets in both files.
        std::int64_t lead = align > 0 ? (align - offset % align) % align : 0;
        if (lead > 0 && lead < length) {
            copy_result result = copy_by_blocks(out, in, offset, lead);
            if (result != copy_result::done) return result;
            offset += lead;
            length -= lead;
        }
        std::int64_t copied = copy_by_kernel(out, in, offset, length, align > 0 ? kernel_copy : pipe_copy);
        offset += copied;
        if ((length -= copied) == 0) return copy_result::done;
    }
    // Whatever the kernel did not take: all of it for devices and pipes, the
    // rest after a refusal.
    return copy_by_blocks(out, in, offset, length);
}
