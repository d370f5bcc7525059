// Processes and console events for the tests on Windows.
#include <windows.h>

#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "console/Interruptions-win32.h"
#include "console/StandardStreams.h"

namespace chartseal::test {

namespace {

// A crash in a test ends it with a failure status, not one wine may show as 0.
const bool crashesFail = [] {
    reportCrashesAsFailures();
    return true;
}();

std::wstring wide(const std::string& utf8)
{
    return pathOf(utf8).wstring();
}

// One word of a command line, as the C runtime splits it again.
std::wstring quoted(const std::wstring& word)
{
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : word) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

HANDLE inheritable(const std::string& path, bool write)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return ::CreateFileW(wide(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

struct Process::Running {
    PROCESS_INFORMATION info{};
    bool started = false;
};

Process::Process(const std::string& program, const std::string& dir, const std::string& input,
                 const std::vector<std::string>& args)
    : io_(makeTempDir()), running_(new Running)
{
    writeFile(io_ + "/in", input);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritable(io_ + "/in", false);
    startup.hStdOutput = inheritable(io_ + "/out", true);
    startup.hStdError = inheritable(io_ + "/err", true);
    std::wstring command = quoted(wide(program));
    for (const std::string& arg : args) command += L" " + quoted(wide(arg));
    running_->started = ::CreateProcessW(wide(program).c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                         wide(dir).c_str(), &startup, &running_->info) != 0;
    for (const HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) ::CloseHandle(h);
}

Process::~Process()
{
    if (running_->started) {
        ::TerminateProcess(running_->info.hProcess, 124);
        ::WaitForSingleObject(running_->info.hProcess, INFINITE);
        ::CloseHandle(running_->info.hProcess);
        ::CloseHandle(running_->info.hThread);
    }
    delete running_;
    std::error_code ec;
    std::filesystem::remove_all(io_, ec);
}

ProcessResult Process::wait()
{
    ProcessResult result;
    if (!running_->started) return result;
    if (::WaitForSingleObject(running_->info.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(running_->info.hProcess, 124);
        ::WaitForSingleObject(running_->info.hProcess, INFINITE);
    }
    DWORD code = 0;
    ::GetExitCodeProcess(running_->info.hProcess, &code);
    ::CloseHandle(running_->info.hProcess);
    ::CloseHandle(running_->info.hThread);
    running_->started = false;
    result.status = static_cast<int>(code);
    result.out = readFile(io_ + "/out").value_or("");
    result.err = readFile(io_ + "/err").value_or("");
    return result;
}

void giveAway(const std::string&, std::uint32_t, std::uint32_t) {}

std::string noSuchFile()
{
    return std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()).message();
}

int statusAsSeen(int status)
{
    return status;
}

std::vector<StopRequest> stopRequests()
{
    return {{2, "CtrlC"}, {21, "CtrlBreak"}, {1, "ConsoleClosed"}};
}

void sendStopRequest(int number)
{
    // Console events cannot be generated without a console (as under wine
    // in CI): the event goes to the handler the way the system passes it,
    // from a thread of its own. A closed console's handler waits there for
    // the run to clean up, so it is left to return by itself.
    const DWORD event = number == 2 ? CTRL_C_EVENT : number == 21 ? CTRL_BREAK_EVENT : CTRL_CLOSE_EVENT;
    std::thread([event] { deliverConsoleEvent(event); }).detach();
    ::Sleep(100);
}

bool openFilesCanBeReplaced()
{
    return false;
}

}  // namespace chartseal::test
