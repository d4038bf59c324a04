// The Windows file module through its own interface: what it makes of a
// target whose queries fail, of names that name no file, and of pipes.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <random>

#include "output_file.h"
#include "test_util.h"

namespace fs = std::filesystem;
using fixture::bytes;

namespace {

DWORD attributes_of(const std::string& path) { return GetFileAttributesW(fs::u8path(path).wstring().c_str()); }

bool write_and_commit(output_file& out, const bytes& content) {
    return write_output(out, content.data(), content.size()) && commit_output(out) == commit_result::done;
}

}  // namespace

// A target whose attributes cannot be read is not replaced, lest the result
// get 0xFFFFFFFF (hidden, system, ...) as its attributes; one whose type
// cannot be told is a file like any other: replaced whole, never written
// into in place.
TEST(WindowsFile, AFailingQueryFailsTheJobOrLeavesItAnOrdinaryOne) {
    const bytes old(5000, 'o');
    const bytes fresh = {'n', 'e', 'w'};
    struct row {
        const char* name;
        file_query_fault fault;
        bool marked;  // the temporary file is marked for deletion
        bool opens;
    } rows[] = {
        {"attributes cannot be read", file_query_fault::attributes, true, false},
        {"type cannot be told", file_query_fault::type, true, true},
        {"no fault", file_query_fault::none, true, true},
        {"no fault, no deletion mark", file_query_fault::none, false, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        write_file(dir / "out.jpg", old);
        ASSERT_TRUE(SetFileAttributesW(fs::u8path(dir / "out.jpg").wstring().c_str(), FILE_ATTRIBUTE_HIDDEN));
        set_file_query_fault(r.fault);
        set_unnamed_temp_allowed(r.marked);
        output_file out;
        bool opened = open_output(out, dir / "out.jpg");
        set_file_query_fault(file_query_fault::none);
        set_unnamed_temp_allowed(true);
        EXPECT_EQ(opened, r.opens);
        if (opened) {
            EXPECT_FALSE(out.dir.empty()) << "written in place";
            EXPECT_TRUE(write_and_commit(out, fresh));
        }
        EXPECT_EQ(read_file(dir / "out.jpg"), r.opens ? fresh : old);
        EXPECT_EQ(attributes_of(dir / "out.jpg") & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                  DWORD{FILE_ATTRIBUTE_HIDDEN});
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}

// Bytes that are not WTF-8 come from no command line; whoever builds a
// name must not reach a file of some other name with it.
TEST(WindowsFile, BytesThatNameNoFileOpenNothing) {
    scoped_temp_dir dir;
    write_file(dir / "p.jpg", fixture::jpeg(fixture::camera_segment(true)));
    for (const char* name : {"out\xff.jpg", "out\xed\xa0\xbd\xed\xb3\xb7.jpg", "p\xc0.jpg"}) {
        SCOPED_TRACE(testing::PrintToString(name));
        std::string path = dir.path.u8string() + "\\" + name;
        output_file out;
        EXPECT_FALSE(open_output(out, path));
        input_file in;
        EXPECT_FALSE(open_input(in, path, true));
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// NUL and pipes take the bytes as they come; nothing is made beside them.
TEST(WindowsFile, TheNullDeviceAndPipesAreWrittenDirectly) {
    const bytes content = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02, 0xFF, 0xD9};
    output_file null_out;
    ASSERT_TRUE(open_output(null_out, "NUL"));
    EXPECT_TRUE(null_out.dir.empty());
    EXPECT_TRUE(write_and_commit(null_out, content));

    std::random_device random;
    std::string name = "\\\\.\\pipe\\segsplice-test-" + std::to_string(random());
    HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    output_file out;
    ASSERT_TRUE(open_output(out, name));
    EXPECT_TRUE(out.dir.empty());
    EXPECT_TRUE(write_and_commit(out, content));
    bytes got(64);
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(pipe, got.data(), static_cast<DWORD>(got.size()), &n, nullptr));
    got.resize(n);
    EXPECT_EQ(got, content);
    CloseHandle(pipe);
}
