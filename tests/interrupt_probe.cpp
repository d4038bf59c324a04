// Windows only: runs `segsplice photo.jpg -w PIPE out.jpg` with APP1_FILE a
// named pipe that never delivers, so the job waits with its temporary file
// open. The first such job is ended with TerminateProcess, which nothing can
// catch. For the second, the probe creates the file "ready" and waits for
// the job to end, which a Ctrl+C typed into the console (scripts/windows_test.sh
// sends one) must bring about, then removes "ready" again. It writes what it
// saw to "result"; status 0 when both jobs ended, neither left a temporary
// file and out.jpg stayed as it was.
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

// The file goes as the ended process's handles close, a moment after it ends.
bool temp_file_gone() {
    for (int i = 0; i < 50 && temp_file_left(); ++i) Sleep(20);
    return !temp_file_left();
}

std::string content(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct waiting_job {
    HANDLE process = nullptr;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool with_temp = false;  // waiting, its temporary file made
};

// The job has made its temporary file before it opens APP1_FILE.
waiting_job start_job(const std::wstring& tool, const std::wstring& pipe_name) {
    waiting_job job;
    job.pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (job.pipe == INVALID_HANDLE_VALUE) return job;
    std::wstring command = L"\"" + tool + L"\" photo.jpg -w " + pipe_name + L" out.jpg";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) return job;
    job.process = started.hProcess;
    ConnectNamedPipe(job.pipe, nullptr);
    job.with_temp = WaitForSingleObject(job.process, 200) == WAIT_TIMEOUT && temp_file_left();
    return job;
}

const char* said(bool yes) { return yes ? "yes" : "no"; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    SetConsoleCtrlHandler(stay, TRUE);
    std::ofstream("out.jpg", std::ios::binary) << "old";

    waiting_job killed = start_job(argv[1], L"\\\\.\\pipe\\segsplice-probe-killed");
    if (!killed.process) return 2;
    TerminateProcess(killed.process, 1);
    WaitForSingleObject(killed.process, 30000);
    bool killed_clean = temp_file_gone();
    CloseHandle(killed.pipe);

    waiting_job interrupted = start_job(argv[1], L"\\\\.\\pipe\\segsplice-probe-interrupted");
    if (!interrupted.process) return 2;
    std::ofstream("ready") << "ready";
    bool ended = WaitForSingleObject(interrupted.process, 30000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(interrupted.process, 1);
    bool clean = temp_file_gone();
    bool kept = content("out.jpg") == "old";
    DeleteFileW(L"ready");
    std::ofstream("result", std::ios::binary)
        << "killed: temporary file while waiting " << said(killed.with_temp) << ", removed " << said(killed_clean)
        << "; Ctrl+C: temporary file while waiting " << said(interrupted.with_temp) << ", job ended " << said(ended)
        << ", temporary file removed " << said(clean) << "; out.jpg kept " << said(kept) << "\n";
    return killed.with_temp && killed_clean && interrupted.with_temp && ended && clean && kept ? 0 : 1;
}
