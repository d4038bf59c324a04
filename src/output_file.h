// The files a job reads and writes, and every call to the operating system
// about them.
//
// Inputs are read at explicit positions, so the source's reader and the
// copies never disturb each other. The output is written to a temporary file
// beside its target: open_output makes it (unnamed where the system allows,
// so that not even a kill can leave it behind), write_output and copy_range
// fill it, commit_output puts it in the target's place only when it is
// complete, and discard_output (or a terminating signal) removes it. A target
// that is a device or a pipe is written directly instead.
#ifndef SEGSPLICE_OUTPUT_FILE_H
#define SEGSPLICE_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

struct input_file {
    int fd = -1;
    bool regular = false;   // a regular file: the kernel may copy from it
    bool seekable = false;  // read_at honours its offset; else reads go on in order
    std::int64_t size = 0;  // bytes when opened; 0 for a stream
    int error = 0;          // why an open or a read failed: an errno value; 0 when unknown
};

// Opens path for reading, a regular file under a shared lock (POSIX: it
// waits while another run rewrites the file in place). False, with in.error
// set, when it cannot be opened or is a directory, and, when positioned is
// set, when it cannot be positioned (a pipe or a socket, which are then
// refused before opening, since a FIFO waits for a writer). "-" is standard
// input, copied into an unnamed temporary file first where it must be
// positioned and cannot be.
bool open_input(input_file& in, const std::string& path, bool positioned);
void close_input(input_file& in);
inline bool is_open(const input_file& in) { return in.fd >= 0; }

// True when something (a symbolic link included, dangling or not) has the
// name path.
bool name_exists(const std::string& path);

// Reads up to n bytes at offset (in order, for a stream); fewer only at the
// end. Returns the count, or -1 when the read fails.
std::int64_t read_at(const input_file& in, std::int64_t offset, void* out, std::size_t n);

// What a filesystem makes of a kernel copy, beside copying the bytes.
enum class output_filesystem { plain, shares_blocks, network };

struct output_file {
    std::string path;       // where the result goes: the target, symlinks followed
    std::string dir;        // the directory the result goes to; empty when writing directly
    std::string temp;       // the temporary file's name in dir, while it has one
    bool unnamed = false;   // the temporary file has no name until it is complete
    int fd = -1;
    int dir_fd = -1;        // POSIX: dir as resolved, which every name below is relative to
    int dir_read_fd = -1;   // POSIX: dir opened for reading, to sync it; -1 where it may not be read
    std::string name;       // POSIX: the target's name in dir
    int target_fd = -1;     // POSIX: an existing target, opened for writing and checked to be it
    bool regular = false;   // the file written is a regular file
    bool replaces_existing = false;
    unsigned mode = 0;      // permission bits a replaced target's result gets: the target's
    unsigned owner = 0;     // an existing target's owner and group
    unsigned group = 0;
    bool keep_times = false;      // set before open_output: the result gets the replaced target's times
    std::int64_t access_time = 0;  // an existing target's times, in the platform's units
    std::int64_t modify_time = 0;  // (whole seconds since 1970 on POSIX, with the nanoseconds below)
    long access_nanoseconds = 0;   // POSIX: 0 to 999999999, also before 1970
    long modify_nanoseconds = 0;
    bool times_kept = true;        // false once -k's times could not be given
    std::int64_t written = 0;  // bytes handed to the file so far
    bool filesystem_known = false;   // block_size and filesystem have been asked for
    std::int64_t block_size = 4096;  // the output filesystem's block, for sharing blocks
    output_filesystem filesystem = output_filesystem::plain;
    int error = 0;  // why the open, a write, a copy into it or the commit failed: an errno value; 0 when unknown
};

// Opens a fresh temporary file (mode 0600) beside target. The target is
// resolved name by name and its symbolic links followed, in every component,
// except links planted in a sticky, world-writable directory by someone else
// than the caller or the directory's owner; in such a directory an existing
// file or FIFO of someone else's is not written either. False when the
// target is refused, is a directory or cannot be written, or no temporary
// file can be made there. A device, a FIFO or a name for one of the
// process's own descriptors is written directly instead, and so is "-",
// standard output. out.error says why it failed.
bool open_output(output_file& out, const std::string& target);

// True when out is a temporary file, which truncate_output can cut back;
// false when a device, a pipe or a descriptor is written directly.
inline bool output_is_temporary(const output_file& out) { return !out.dir.empty(); }

// Tests turn unnamed temporary files off to reach the named fallback.
void set_unnamed_temp_allowed(bool allowed);

// Appends n bytes; false when they could not all be written.
bool write_output(output_file& out, const void* bytes, std::size_t n);

// Writes n bytes over what a temporary file already holds at position (n
// bytes of it at least), leaving the place where writing goes on alone;
// false when they could not all be written.
bool write_output_at(output_file& out, std::int64_t position, const void* bytes, std::size_t n);

// Cuts a temporary file back to its first length bytes (at most what was
// written) and writes on from there; false when the system refuses.
bool truncate_output(output_file& out, std::int64_t length);

// True when out is written straight into the file that in reads (a
// descriptor target opened on the source, as `>> photo.jpg` gives): copying
// would read the output back.
bool output_is_input(const output_file& out, const input_file& in);

// kept_aside: the target could only be rewritten in place, and that failed;
// the complete new file stays beside it, named by kept_copy. times_not_kept:
// the target was replaced, but without the times that keep_times asked for.
enum class commit_result { done, write_failed, replace_failed, kept_aside, times_not_kept };

// Completes the file and puts it in the target's place, keeping an existing
// target's permission bits, and its owner and group where permitted. An
// existing target is replaced durably: the new file is synced before the
// rename and the directory after it. On failure nothing is left behind and
// the target is as it was, except for kept_aside. A target rewritten in
// place is locked exclusively first: the caller must have closed its own
// inputs on it, or the lock waits for them for ever.
commit_result commit_output(output_file& out);

// The path of the complete copy that kept_aside left.
std::string kept_copy(const output_file& out);

// Closes and removes the temporary file; the target stays as it was.
void discard_output(output_file& out);

#ifdef _WIN32
// Tests make a query about an opened target fail, as a race or a refused
// right would: its type (which then reads FILE_TYPE_UNKNOWN) or its attributes.
enum class file_query_fault { none, type, attributes };
void set_file_query_fault(file_query_fault fault);
#endif

#endif
