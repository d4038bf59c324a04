// The copy engine: moves a range of an input into the output, through the
// kernel where that pays and through one buffer elsewhere. The output file
// module owns the files; this module only decides how their bytes travel.
#ifndef SEGSPLICE_COPY_ENGINE_H
#define SEGSPLICE_COPY_ENGINE_H

#include <cstddef>
#include <cstdint>

#include "output_file.h"

enum class copy_result { done, short_input, read_failed, write_failed };

// Appends length bytes of in from offset, or everything from offset to the
// end when length is negative: for a file that can be positioned, the end it
// had when it was opened, so that a file that shrank meanwhile leaves the copy
// short and one that grew is not followed. The kernel copies ranges of 64 KiB and more
// between regular files: copy_file_range where the range keeps its place within a 64 KiB window,
// the filesystem can share its blocks or the server copies on a network
// filesystem, a pipe elsewhere. Devices, pipes and whatever the kernel
// refuses go through a buffer. short_input: in ended before length bytes.
copy_result copy_range(output_file& out, const input_file& in, std::int64_t offset, std::int64_t length);

// The kernel's copy between two files, as copy_file_range: copies up to n
// bytes from *in_offset to the output's current position and advances
// *in_offset; returns the count, 0 when it copies nothing, -1 with errno.
using kernel_copy_fn = std::int64_t (*)(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n);
std::int64_t system_kernel_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n);

// The same through a pipe (splice): the source's pages go in by reference and
// come out in one copy, in pieces as large as the pipe.
std::int64_t system_pipe_copy(int in_fd, std::int64_t* in_offset, int out_fd, std::size_t n);

// Called by copy_range with its arguments before it moves a byte, so that
// tests can change the input there as another program might; null for none.
using copy_observer_fn = void (*)(const input_file& in, std::int64_t offset, std::int64_t length);
void set_copy_observer(copy_observer_fn fn);

// Replaces both kernel copies, so that tests can make them refuse; null
// restores them.
void set_kernel_copy(kernel_copy_fn fn);

#endif
