// What a replaced file keeps on POSIX systems beside its bytes: its owner
// and group where the caller may give them, its permission bits, its
// extended attributes and ACLs where the caller may set them, and with -k
// its times. The new file is a fresh inode renamed over the old one, so all
// of this is given to it just before the rename.
#ifndef SEGSPLICE_FILE_IDENTITY_H
#define SEGSPLICE_FILE_IDENTITY_H

#include <sys/stat.h>

#include "output_file.h"

// Records in out what the existing target st is: mode, owner, group, times.
void note_target_identity(output_file& out, const struct stat& st);

// Gives the temporary file out.fd its identity: for a replaced target what
// note_target_identity recorded and the extended attributes of
// out.target_fd; a new one keeps what it was made with. Whatever the
// caller may not give is skipped, but for the times of keep_times.
void give_target_identity(output_file& out);

// Gives fd the replaced target's access and modification times (-k); clears
// out.times_kept when the system refuses them (a caller who does not own fd).
void keep_target_times(output_file& out, int fd);

#endif
