// The file module: what a replaced target keeps beside its bytes.
#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <functional>
#include <initializer_list>

#include <gtest/gtest.h>

#include "fixture.h"
#include "log.h"
#include "main.h"
#include "test_util.h"

using fixture::bytes;

namespace {

std::string attribute(const std::string& path, const char* name) {
    std::string value(256, '\0');
    ssize_t n = ::getxattr(path.c_str(), name, value.data(), value.size());
    return n < 0 ? "<none>" : value.substr(0, static_cast<std::size_t>(n));
}

using acl_entry = std::tuple<unsigned, unsigned, unsigned>;  // tag, permissions, id

// An ACL in the kernel's format, by default the access ACL: the owner rw,
// user 4242 r, the group r, the mask r, others nothing.
std::string access_acl(std::initializer_list<acl_entry> entries = {{0x01u, 6u, ~0u}, {0x02u, 4u, 4242u},
                                                                    {0x04u, 4u, ~0u}, {0x10u, 4u, ~0u},
                                                                    {0x20u, 0u, ~0u}}) {
    bytes acl;
    fixture::put_u32(acl, 2, false);
    for (auto [tag, perm, id] : entries) {
        fixture::put_u16(acl, tag, false);
        fixture::put_u16(acl, perm, false);
        fixture::put_u32(acl, id, false);
    }
    return std::string(acl.begin(), acl.end());
}

int run_in_process(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"segsplice"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::FILE* sink = std::tmpfile();
    set_output_stream(sink);
    int status = segsplice_main(static_cast<int>(argv.size()), argv.data());
    set_output_stream(nullptr);
    std::fclose(sink);
    return status;
}

}  // namespace

// A replaced photo keeps its extended attributes (a desktop's tags, an ACL
// that lets a second user read it), whichever way the temporary file was
// made; what the caller may not set is skipped without failing the job, and
// a new target takes nothing from the source.
TEST(OutputFile, AReplacedTargetKeepsItsAttributes) {
    const std::string acl = access_acl();
    struct row {
        const char* name;
        const char* attribute;  // set on the target before the job, or on the source for a new target
        std::string value;
        bool new_target;
        uid_t caller;           // 0: this process as it is
        std::string after;      // the attribute's value on the target after the job
    } rows[] = {
        {"user attribute", "user.xdg.tags", "holiday", false, 0, "holiday"},
        {"ACL", "system.posix_acl_access", acl, false, 0, acl},
        {"attribute the caller may not set", "trusted.segsplice", "root only", false, 4242, "<none>"},
        {"new target", "user.xdg.tags", "holiday", true, 0, "<none>"},
    };
    for (const row& r : rows)
    for (bool named : {false, true}) {
        SCOPED_TRACE(std::string(r.name) + (named ? ", named temporary file" : ", unnamed"));
        if (r.caller != 0 && ::geteuid() != 0) {
            std::cout << "[  SKIPPED ] " << r.name << ": needs root to set it and to run as another user\n";
            continue;
        }
        scoped_temp_dir dir;
        std::string source = dir / "photo.jpg", segment = dir / "photo.app1", target = dir / "out.jpg";
        write_file(source, fixture::jpeg(fixture::camera_segment(true)));
        write_file(segment, fixture::camera_segment(false));
        if (!r.new_target) write_file(target, {'o', 'l', 'd'});
        const std::string& holder = r.new_target ? source : target;
        if (::setxattr(holder.c_str(), r.attribute, r.value.data(), r.value.size(), 0) != 0)
            GTEST_SKIP() << "this filesystem does not keep " << r.attribute << ": " << std::strerror(errno);
        if (r.caller != 0) {
            ASSERT_EQ(::setxattr(target.c_str(), "user.kept", "yes", 3, 0), 0);
            ASSERT_EQ(::chown(target.c_str(), r.caller, r.caller), 0);
            ::chmod(dir.path.c_str(), 0777);
            ASSERT_EQ(::seteuid(r.caller), 0);
        }
        set_unnamed_temp_allowed(!named);
        int status = run_in_process({source, "-w", segment, target});
        set_unnamed_temp_allowed(true);
        if (r.caller != 0) {
            ASSERT_EQ(::seteuid(0), 0);
        }
        EXPECT_EQ(status, 0);
        EXPECT_EQ(read_file(target), fixture::jpeg(fixture::camera_segment(false)));
        EXPECT_EQ(attribute(target, r.attribute), r.after);
        if (r.caller != 0) {
            EXPECT_EQ(attribute(target, "user.kept"), "yes") << "what the caller may set is kept";
        }
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

// A new target is made as any program makes a new file: in a folder with a
// default ACL it gets that ACL's permissions, not the umask's, as a file that
// a shell makes there does.
TEST(OutputFile, ANewTargetGetsTheFolderDefaultAcl) {
    // The owner rw, user 4242 rw, the group r, the mask rw, others r.
    const std::string inherited = access_acl({{0x01u, 6u, ~0u}, {0x02u, 6u, 4242u}, {0x04u, 4u, ~0u},
                                              {0x10u, 6u, ~0u}, {0x20u, 4u, ~0u}});
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary file" : "unnamed");
        scoped_temp_dir dir;
        std::string source = dir / "photo.jpg", segment = dir / "photo.app1";
        write_file(source, fixture::jpeg(fixture::camera_segment(true)));
        write_file(segment, fixture::camera_segment(false));
        std::string folder = dir / "shared";
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        if (::setxattr(folder.c_str(), "system.posix_acl_default", inherited.data(), inherited.size(), 0) != 0)
            GTEST_SKIP() << "this filesystem has no default ACLs: " << std::strerror(errno);
        int shell_made = ::open((folder + "/shell.jpg").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        ASSERT_GE(shell_made, 0);
        ::close(shell_made);
        set_unnamed_temp_allowed(!named);
        int status = run_in_process({source, "-w", segment, folder + "/new.jpg"});
        set_unnamed_temp_allowed(true);
        EXPECT_EQ(status, 0);
        struct stat made, shell;
        ASSERT_EQ(::stat((folder + "/new.jpg").c_str(), &made), 0);
        ASSERT_EQ(::stat((folder + "/shell.jpg").c_str(), &shell), 0);
        EXPECT_EQ(made.st_mode & 07777, shell.st_mode & 07777);
        EXPECT_EQ(attribute(folder + "/new.jpg", "system.posix_acl_access"),
                  attribute(folder + "/shell.jpg", "system.posix_acl_access"));
    }
}
