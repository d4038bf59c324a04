// Windows only: runs `segsplice photo.jpg -w PIPE out.jpg` with APP1_FILE a
// named pipe that never delivers, so the job waits with its temporary file
// open; creates the file "ready" and waits for the job to end, which a Ctrl+C
// typed into the console (scripts/windows_test.sh sends one) must bring about,
// then removes "ready" again and writes what it saw to "result". Status 0
// when the job ended, left no temporary file and out.jpg as it was.
//   interrupt_probe SEGSPLICE_EXE      (in a directory that holds photo.jpg)
#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

// The probe itself lives through the Ctrl+C it is waiting for.
BOOL WINAPI stay(DWORD) { return TRUE; }

bool temp_file_left() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(L".segsplice-*", &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

std::string content(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    SetConsoleCtrlHandler(stay, TRUE);
    std::ofstream("out.jpg", std::ios::binary) << "old";
    const wchar_t* pipe_name = L"\\\\.\\pipe\\segsplice-interrupt-probe";
    HANDLE pipe = CreateNamedPipeW(pipe_name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 2;
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\" photo.jpg -w " + pipe_name + L" out.jpg";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION job{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &job)) return 2;
    // The job has made its temporary file before it opens APP1_FILE.
    ConnectNamedPipe(pipe, nullptr);
    bool waiting_with_temp = WaitForSingleObject(job.hProcess, 200) == WAIT_TIMEOUT && temp_file_left();
    std::ofstream("ready") << "ready";
    bool ended = WaitForSingleObject(job.hProcess, 30000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(job.hProcess, 1);
    bool clean = !temp_file_left();
    bool kept = content("out.jpg") == "old";
    DeleteFileW(L"ready");
    auto said = [](bool yes) { return yes ? "yes" : "no"; };
    std::ofstream("result", std::ios::binary)
        << "temporary file while waiting " << said(waiting_with_temp) << ", job ended " << said(ended)
        << ", temporary file removed " << said(clean) << ", out.jpg kept " << said(kept) << "\n";
    return waiting_with_temp && ended && clean && kept ? 0 : 1;
}
