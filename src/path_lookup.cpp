#include "path_lookup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

#ifdef O_PATH
// Looks a directory up without reading it: search permission is enough.
constexpr int DIR_LOOKUP = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int DIR_LOOKUP = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
constexpr int MAX_LINKS = 40;  // the kernel's own limit

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void replace_fd(int& fd, int with) {
    close_fd(fd);
    fd = with;
}

// The components of path pushed onto todo so that todo.back() is the first.
// A trailing slash leaves an empty last component: the name of a directory.
void push_components(std::vector<std::string>& todo, const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t at = !path.empty() && path[0] == '/' ? 1 : 0;;) {
        std::size_t slash = path.find('/', at);
        parts.push_back(path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
}

// A sticky directory that others may write: world-writable such as /tmp, or
// group-writable, which the kernel's strictest setting (2) covers too.
bool shared_folder(const struct stat& dir) {
    return (dir.st_mode & S_ISVTX) && (dir.st_mode & (S_IWOTH | S_IWGRP));
}

// The descriptor of this process that path names as a string (/dev/stdout,
// /dev/fd/N, /proc/self/fd/N, ...), or -1. Works without /proc too.
int named_descriptor(const std::string& path) {
    static const std::pair<const char*, int> STANDARD[] = {{"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const auto& [name, fd] : STANDARD)
        if (path == name) return fd;
    bool in_proc = path.compare(0, 6, "/proc/") == 0;
    const std::string prefixes[] = {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/",
                                    in_proc ? "/proc/" + std::to_string(::getpid()) + "/fd/" : "/proc/self/fd/"};
    for (const std::string& prefix : prefixes) {
        if (path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string digits = path.substr(prefix.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::stoi(digits);
    }
    return -1;
}

// Whether dir is where /proc lists this process's own descriptors, however
// the walk got there.
bool own_descriptor_dir(const struct stat& dir) {
    static const char* const NAMES[] = {"/proc/self/fd", "/proc/thread-self/fd"};
    for (const char* name : NAMES) {
        struct stat own;
        if (::stat(name, &own) == 0 && own.st_dev == dir.st_dev && own.st_ino == dir.st_ino) return true;
    }
    return false;
}

// Reads the link at name in dir into to, and checks that the link read is
// the one looked at: a link's text never changes, so the same link, of the
// same owner, has the same text.
bool read_link(int dir, const std::string& name, const struct stat& link, std::string& to) {
    std::string text(link.st_size > 0 ? static_cast<std::size_t>(link.st_size) + 1 : 4096, '\0');
    ssize_t n = ::readlinkat(dir, name.c_str(), text.data(), text.size());
    struct stat again;
    if (n <= 0 || static_cast<std::size_t>(n) >= text.size() ||
        ::fstatat(dir, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(again, link) ||
        again.st_uid != link.st_uid)
        return false;
    text.resize(static_cast<std::size_t>(n));
    to = std::move(text);
    return true;
}

}  // namespace

bool trusted_in(const struct stat& dir, uid_t owner) {
    return !shared_folder(dir) || owner == ::geteuid() || owner == dir.st_uid;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

bool is_file_looked_at(int fd, const struct stat& looked_at, struct stat& st) {
    return fd >= 0 && ::fstat(fd, &st) == 0 && same_file(st, looked_at);
}

bool look_up_target(const std::string& target, path_lookup& r) {
    if ((r.descriptor = named_descriptor(target)) >= 0) return true;
    std::vector<std::string> todo;
    push_components(todo, target);
    bool absolute = !target.empty() && target[0] == '/';
    r.where = absolute ? "/" : "";
    r.dir_fd = ::open(absolute ? "/" : ".", DIR_LOOKUP);
    for (int links = 0; r.dir_fd >= 0 && !todo.empty();) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        bool last = todo.empty();
        if (name.empty() || name == ".") {
            if (last) return false;
            continue;
        }
        struct stat st;
        bool up = name == "..";
        if (!up && ::fstatat(r.dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            r.name = name;
            return errno == ENOENT && last;
        }
        if (!up && S_ISLNK(st.st_mode)) {
            struct stat dir;
            if (++links > MAX_LINKS || ::fstat(r.dir_fd, &dir) != 0) return false;
            bool digits = name.find_first_not_of("0123456789") == std::string::npos && name.size() <= 9;
            if (digits && own_descriptor_dir(dir)) {
                r.descriptor = last ? std::stoi(name) : -1;
                return last;
            }
            std::string to;
            if (!trusted_in(dir, st.st_uid) || !read_link(r.dir_fd, name, st, to)) return false;
            if (to[0] == '/') {
                replace_fd(r.dir_fd, ::open("/", DIR_LOOKUP));
                r.where = "/";
            }
            push_components(todo, to);
            continue;
        }
        if (last) {
            r.name = name;
            r.exists = true;
            r.leaf = st;
            return !up && ::fstat(r.dir_fd, &r.dir_st) == 0;
        }
        if (!up && !S_ISDIR(st.st_mode)) return false;
        // O_NOFOLLOW: a link swapped in after the look is not followed unchecked.
        replace_fd(r.dir_fd, ::openat(r.dir_fd, name.c_str(), DIR_LOOKUP | O_NOFOLLOW));
        r.where += r.where.empty() || r.where.back() == '/' ? name : "/" + name;
    }
    return false;
}
