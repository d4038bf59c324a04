// Looking a target up on POSIX systems, so that what is written is what was
// checked: the path is walked a name at a time from directory descriptors,
// the links in every component followed by the walk itself under the rules
// of shared folders, and only a descriptor of the directory found is kept.
#ifndef SEGSPLICE_PATH_LOOKUP_H
#define SEGSPLICE_PATH_LOOKUP_H

#include <sys/stat.h>

#include <string>

// Where a target leads.
struct path_lookup {
    int dir_fd = -1;          // the directory the target is in; the caller closes it
    std::string where;        // that directory as a path, for messages ("" for ".")
    std::string name;         // the target's name there
    bool exists = false;
    struct stat dir_st = {};  // the directory, and what stands at name, when it exists
    struct stat leaf = {};
    int descriptor = -1;      // or the descriptor of this process that the target names
};

// Walks target a component at a time, as the kernel would, following its
// symbolic links (at most 40) in every component; a link is followed only
// where trusted_in allows. A name for one of this process's descriptors
// (/dev/stdout, /proc/self/fd/N, or a link to one) ends the walk there.
// False when a link may not be followed, cannot be read or the links go on
// too long, a component is missing or no directory, or the target names a
// directory. dir_fd is set, and must be closed, either way.
bool look_up_target(const std::string& target, path_lookup& found);

// The kernel's protected_symlinks, protected_regular and protected_fifos
// rules at their strictest, whatever the sysctls say: in a sticky directory
// that others may write (world-writable such as /tmp, or group-writable),
// where they can make a name that the caller is about to use, a link is
// followed and a file or FIFO written only when it belongs to the caller or
// to the directory's owner.
bool trusted_in(const struct stat& dir, uid_t owner);

// Whether two stats describe the same file: device, inode and type.
bool same_file(const struct stat& a, const struct stat& b);

// Whether fd is open on the file that looked_at describes; st gets its state.
bool is_file_looked_at(int fd, const struct stat& looked_at, struct stat& st);

#endif
