// Windows: the file module through its own interface (what it makes of a
// target whose queries fail, of names that name no file, and of pipes), and
// the binary on the targets a Windows user writes to.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

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

// Names that Windows turns into devices in any folder and under any
// extension are refused as targets: they would write to the device, not a
// file. NUL and CON spelled alone stay the devices they name.
TEST(WindowsFile, ReservedDeviceNamesAreNoTargets) {
    scoped_temp_dir dir;
    const std::string names[] = {"aux.jpg", "COM1", "com1.jpg", "nul.jpg", "sub\\nul", "Lpt9.app1", "con .jpg",
                                 "prn", dir / "aux.jpg"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        output_file out;
        EXPECT_FALSE(open_output(out, name));
    }
    for (const char* name : {"NUL", "nul"}) {
        SCOPED_TRACE(name);
        output_file out;
        EXPECT_TRUE(open_output(out, name));
        discard_output(out);
    }
    for (const char* name : {"auxiliary.jpg", "com10.jpg", "console.jpg"}) {
        SCOPED_TRACE(name);
        output_file out;
        EXPECT_TRUE(open_output(out, dir / name));
        discard_output(out);
    }
}

// A target that another program holds open without sharing for a moment
// (an antivirus, an indexer) is replaced once it lets go.
TEST(WindowsFile, ATargetHeldForAMomentIsReplacedOnceFree) {
    scoped_temp_dir dir;
    write_file(dir / "out.jpg", {'o', 'l', 'd'});
    const bytes content = {0xFF, 0xD8, 0xFF, 0xD9};
    output_file out;
    ASSERT_TRUE(open_output(out, dir / "out.jpg"));
    ASSERT_TRUE(write_output(out, content.data(), content.size()));
    HANDLE held = CreateFileW(fs::u8path(dir / "out.jpg").wstring().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread holder([held] {
        Sleep(300);
        CloseHandle(held);
    });
    EXPECT_EQ(commit_output(out), commit_result::done);
    holder.join();
    EXPECT_EQ(read_file(dir / "out.jpg"), content);
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

// What a Windows user writes to, and what a replaced target keeps there:
// its stored name, hidden attribute and creation time (wine has no creation
// time of its own: it shows the write time), with -k its write and access
// times; the result gets the archive bit (which wine shows on every file). Links need privileges there and
// wine cannot make them: scripts/windows_test.sh tests them with wine's own.
TEST(WindowsFile, TargetsAWindowsUserWritesTo) {
    struct times {
        std::int64_t creation = 0, access = 0, write = 0;
    };
    auto times_of = [](const std::string& path, DWORD* attributes = nullptr) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(fs::u8path(path).wstring().c_str(), GetFileExInfoStandard, &data);
        if (attributes) *attributes = data.dwFileAttributes;
        auto value = [](FILETIME t) { return static_cast<std::int64_t>(std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime); };
        return times{value(data.ftCreationTime), value(data.ftLastAccessTime), value(data.ftLastWriteTime)};
    };
    // 2020-06-01 and two days later, in 100 ns since 1601.
    const std::int64_t made = 132354432000000000, used = 132356160000000000;
    auto age = [&](const std::string& path) {
        auto filetime = [](std::int64_t t) { return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)}; };
        FILETIME creation = filetime(made), access = filetime(used);
        HANDLE file = CreateFileW(fs::u8path(path).wstring().c_str(), FILE_WRITE_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        SetFileTime(file, &creation, &access, &creation);
        CloseHandle(file);
    };
    const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    const bytes old = {'o', 'l', 'd'};
    const bytes source = fixture::jpeg(fixture::camera_segment(true));
    const std::string surrogate = "out\xed\xa0\x80.jpg";  // U+D800, legal on NTFS, unknown to wine
    struct row {
        const char* name;
        std::function<void(const scoped_temp_dir&)> setup;
        std::string args;
        std::function<void(const scoped_temp_dir&, const tool_run&)> check;
    } rows[] = {
        {"NUL", nullptr, "p.jpg -wvireo p.jpg.app1 NUL",
         [](auto&, auto& run) { EXPECT_EQ(run.status, 0); EXPECT_EQ(run.output, ""); }},
        {"hidden target without the archive bit",
         [&](auto& d) { write_file(d / "out.jpg", old); SetFileAttributesW(fs::u8path(d / "out.jpg").wstring().c_str(), FILE_ATTRIBUTE_HIDDEN); },
         "p.jpg -w p.jpg.app1 out.jpg",
         [&](auto& d, auto& run) {
             EXPECT_EQ(run.status, 0);
             DWORD attributes = 0;
             times_of(d / "out.jpg", &attributes);
             EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE), DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE});
             EXPECT_EQ(read_file(d / "out.jpg"), source);
         }},
        {"in place under another case", [&](auto& d) { write_file(d / "IMG_1.JPG", source); }, "IMG_1.JPG -w p.jpg.app1 img_1.jpg",
         [&](auto& d, auto& run) {
             EXPECT_EQ(run.status, 0);
             EXPECT_TRUE(fs::exists(d.path / "IMG_1.JPG"));
             for (const auto& item : fs::directory_iterator(d.path)) EXPECT_NE(item.path().filename(), "img_1.jpg");
         }},
        {"-k", [&](auto& d) { write_file(d / "out.jpg", old); age(d / "out.jpg"); }, "p.jpg -k -w p.jpg.app1 out.jpg",
         [&](auto& d, auto& run) {
             EXPECT_EQ(run.status, 0);
             times kept = times_of(d / "out.jpg");
             EXPECT_EQ(kept.creation, made);
             EXPECT_EQ(kept.write, made);
             // wine reads the first bytes of a file it opens for writing, and
             // Linux then moves the access time before the tool can read it.
             if (!wine) {
                 EXPECT_EQ(kept.access, used);
             }
             EXPECT_EQ(read_file(d / "out.jpg"), source);
         }},
        {"without -k", [&](auto& d) { write_file(d / "out.jpg", old); age(d / "out.jpg"); }, "p.jpg -w p.jpg.app1 out.jpg",
         [&](auto& d, auto& run) {
             EXPECT_EQ(run.status, 0);
             times now = times_of(d / "out.jpg");
             EXPECT_GT(now.write, made);
             if (!wine) {
                 EXPECT_EQ(now.creation, made);
             }
         }},
        {"unpaired surrogate in the name", nullptr, "p.jpg -w p.jpg.app1 " + surrogate,
         [&](auto& d, auto& run) {
             EXPECT_FALSE(fs::exists(d.path / fs::u8path("out\xef\xbf\xbd.jpg"))) << "U+FFFD instead";
             if (wine) {
                 EXPECT_EQ(run.output, "output file open error 1 [" + surrogate + "].\n");
                 EXPECT_EQ(run.status, 1);
             } else {
                 EXPECT_EQ(run.status, 0);
                 std::wstring name = d.path.wstring() + L"\\out" + wchar_t(0xD800) + L".jpg";
                 EXPECT_NE(GetFileAttributesW(name.c_str()), INVALID_FILE_ATTRIBUTES);
             }
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        scoped_temp_dir dir;
        write_file(dir / "p.jpg", source);
        ASSERT_EQ(run_tool(dir.path.string(), "p.jpg -r").status, 0);
        if (r.setup) r.setup(dir);
        r.check(dir, run_tool(dir.path.string(), r.args));
        EXPECT_TRUE(leftover_temp_files(dir.path.string()).empty());
    }
}
