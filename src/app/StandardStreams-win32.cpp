// Standard input from a Windows console (as UTF-16, kept as UTF-8) or from a
// pipe or file (bytes as they are); binary standard output and error.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <istream>
#include <streambuf>
#include <string>

#include "app/StandardStreams.h"

#include "app/ExitStatus.h"
#include "io/WideNames-win32.h"

namespace chartseal {

namespace {

class HandleInput final : public std::streambuf {
public:
    HandleInput()
        : in_(::GetStdHandle(STD_INPUT_HANDLE))
    {
        DWORD mode = 0;
        console_ = in_ != nullptr && in_ != INVALID_HANDLE_VALUE && ::GetConsoleMode(in_, &mode);
    }

protected:
    int_type underflow() override
    {
        if (in_ == nullptr || in_ == INVALID_HANDLE_VALUE) return traits_type::eof();
        const std::size_t n = console_ ? readConsole() : readBytes();
        if (n == 0) return traits_type::eof();
        setg(buf_.data(), buf_.data(), buf_.data() + n);
        return traits_type::to_int_type(buf_[0]);
    }

private:
    std::size_t readBytes()
    {
        buf_.resize(4096);
        DWORD n = 0;
        if (::ReadFile(in_, buf_.data(), static_cast<DWORD>(buf_.size()), &n, nullptr)) return n;
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
        throw RunError("standard input", "cannot read", std::error_code(static_cast<int>(error), std::system_category()));
    }

    // A console gives UTF-16, whatever its code page.
    std::size_t readConsole()
    {
        wchar_t wide[1024];
        DWORD n = 0;
        if (!::ReadConsoleW(in_, wide, 1023, &n, nullptr)) {
            throw RunError("standard input", "cannot read",
                            std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
        }
        // The second half of a character is read with its first.
        if (n > 0 && wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) {
            DWORD more = 0;
            if (::ReadConsoleW(in_, wide + n, 1, &more, nullptr)) n += more;
        }
        // Ctrl-Z at the start of a line ends console input.
        if (n > 0 && wide[0] == 0x1A) return 0;
        buf_ = toUtf8(std::wstring(wide, n));
        return buf_.size();
    }

    HANDLE in_;
    bool console_ = false;
    std::string buf_;
};

// Whatever the crash, the process ends with a status that reads as failure.
LONG WINAPI endCrashedProcess(EXCEPTION_POINTERS*)
{
    ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::istream& standardInput()
{
    static HandleInput buffer;
    static std::istream in(&buffer);
    in.exceptions(std::ios::badbit);
    return in;
}

void prepareStandardStreams()
{
    reportCrashesAsFailures();
    // The C runtime's text mode would turn each line feed into a carriage
    // return and line feed.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
    ::_setmode(::_fileno(stdin), _O_BINARY);
}

std::vector<std::string> programArguments(int argc, char** argv)
{
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr || count != argc) {
        if (wide != nullptr) ::LocalFree(wide);
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(toUtf8(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

std::size_t raiseOpenFileLimit()
{
    // Windows handles are limited only by memory.
    return std::size_t{1} << 16;
}

bool standardErrorIsTerminal()
{
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

FileHandle standardOutputHandle()
{
    return reinterpret_cast<FileHandle>(::GetStdHandle(STD_OUTPUT_HANDLE));
}

void reportCrashesAsFailures()
{
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    ::SetUnhandledExceptionFilter(endCrashedProcess);
}

}  // namespace chartseal
