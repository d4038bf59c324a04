#include "file_identity.h"

#include <unistd.h>
#ifdef SEGSPLICE_XATTR
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A time as futimens takes it: the nanoseconds from 0 to 999999999, also
// before 1970 (1969-12-31 23:59:59.9 is -1 s + 0.9 s).
struct timespec timespec_of(std::int64_t seconds, long nanoseconds) {
    constexpr long NS = 1000000000;
    seconds += nanoseconds / NS;
    nanoseconds %= NS;
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += NS;
    }
    return {static_cast<time_t>(seconds), nanoseconds};
}

#ifdef SEGSPLICE_XATTR
// The most the kernel lets a file's list of attribute names, or one value, be.
constexpr std::size_t ATTRIBUTE_MAX = 64 * 1024;

std::vector<std::string> attribute_names(int fd) {
    std::vector<std::string> names;
    std::string list(ATTRIBUTE_MAX, '\0');
    ssize_t size = ::flistxattr(fd, list.data(), list.size());
    for (std::size_t at = 0; size > 0 && at < static_cast<std::size_t>(size);) {
        std::size_t end = list.find('\0', at);
        if (end >= static_cast<std::size_t>(size)) break;
        names.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

// As cp -a does: every attribute of from that the caller may read goes to
// to where the caller may set it (user.* always; security.*, trusted.* and
// the ACLs in system.* as root, or as the file's owner for the ACLs), and
// whatever to has that from has not (an ACL the folder handed down) goes.
void copy_attributes(int from, int to) {
    std::vector<std::string> kept = attribute_names(from);
    for (const std::string& name : attribute_names(to))
        if (std::find(kept.begin(), kept.end(), name) == kept.end()) (void)::fremovexattr(to, name.c_str());
    if (kept.empty()) return;
    std::vector<char> value(ATTRIBUTE_MAX);
    for (const std::string& name : kept) {
        ssize_t n = ::fgetxattr(from, name.c_str(), value.data(), value.size());
        if (n >= 0) (void)::fsetxattr(to, name.c_str(), value.data(), static_cast<std::size_t>(n), 0);
    }
}
#else
void copy_attributes(int, int) {}
#endif

}  // namespace

void note_target_identity(output_file& out, const struct stat& st) {
    out.mode = st.st_mode & 07777;
    out.owner = st.st_uid;
    out.group = st.st_gid;
    out.access_time = st.st_atim.tv_sec;
    out.access_nanoseconds = st.st_atim.tv_nsec;
    out.modify_time = st.st_mtim.tv_sec;
    out.modify_nanoseconds = st.st_mtim.tv_nsec;
}

void keep_target_times(output_file& out, int fd) {
    struct timespec times[2] = {timespec_of(out.access_time, out.access_nanoseconds),
                                timespec_of(out.modify_time, out.modify_nanoseconds)};
    if (::futimens(fd, times) != 0) {
        out.times_kept = false;
        out.error = errno;
    }
}

// The owner first, since a change of owner may clear the set-id bits; the
// attributes after the bits, since an ACL sets the group bits itself.
void give_target_identity(output_file& out) {
    // Where the owner may not be given, the group may still be; else the
    // file stays the caller's.
    if (out.replaces_existing && ::fchown(out.fd, out.owner, out.group) != 0 &&
        ::fchown(out.fd, static_cast<uid_t>(-1), out.group) != 0) {
    }
    if (!out.replaces_existing) return;
    (void)::fchmod(out.fd, static_cast<mode_t>(out.mode));
    copy_attributes(out.target_fd, out.fd);
    if (out.keep_times) keep_target_times(out, out.fd);
}
