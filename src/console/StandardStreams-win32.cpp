// Standard input from a Windows console (as UTF-16, kept as UTF-8) or from a
// pipe or file (bytes as they are); binary standard output and error.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <istream>
#include <streambuf>
#include <string>

#include "console/StandardStreams.h"

#include "console/ExitStatus.h"
#include "console/HandleOutput.h"
#include "console/Interruptions.h"
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

// Text for a console, written in its own terms: UTF-8 taken in, UTF-16
// given to WriteConsoleW, so that any name shows as typed, whatever the
// console's code page. A character split between two writes waits for its
// end.
// With a name, a failed write throws RunError naming it; without, it makes
// the stream bad, as a stream that may not throw (one with unitbuf) needs.
class ConsoleText final : public std::streambuf {
public:
    explicit ConsoleText(HANDLE console, const char* name = nullptr) : console_(console), name_(name) {}

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        pending_ += traits_type::to_char_type(c);
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        pending_.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int sync() override
    {
        // The whole characters: a sequence's lead byte without all of its
        // continuation bytes stays for the next write.
        std::size_t whole = pending_.size();
        for (std::size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
            const auto byte = static_cast<unsigned char>(pending_[pending_.size() - back]);
            if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
            const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            if (length > back) whole = pending_.size() - back;
            break;
        }
        const std::wstring wide = toWide(pending_.substr(0, whole));
        pending_.erase(0, whole);
        for (std::size_t done = 0; done < wide.size();) {
            DWORD written = 0;
            const auto count = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 16384));
            if (!::WriteConsoleW(console_, wide.data() + done, count, &written, nullptr) || written == 0) {
                if (name_ != nullptr) {
                    throw RunError(name_, "cannot write",
                                   std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
                }
                return -1;
            }
            done += written;
        }
        return 0;
    }

private:
    HANDLE console_;
    const char* name_;
    std::string pending_;
};

// The stream for a standard handle: text for a console, and the bytes as
// they are for a file or pipe (binary mode, so that no line feed gains a
// carriage return).
void takeConsoleOrBytes(std::ostream& stream, FILE* file, DWORD which)
{
    const HANDLE handle = ::GetStdHandle(which);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        static ConsoleText* buffers[2] = {nullptr, nullptr};
        ConsoleText*& buffer = buffers[which == STD_OUTPUT_HANDLE ? 0 : 1];
        if (buffer == nullptr) buffer = new ConsoleText(handle);  // lives as long as the process
        stream.flush();
        stream.rdbuf(buffer);
        return;
    }
    ::_setmode(::_fileno(file), _O_BINARY);
}

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

std::ostream& standardOutput()
{
    // Text for a console; otherwise bytes through the seam.
    static std::streambuf* buffer = [] () -> std::streambuf* {
        const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
        DWORD mode = 0;
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
            return new ConsoleText(handle, "standard output");  // lives as long as the process
        }
        return new HandleOutput(systemFileOps(), standardOutputHandle(), "standard output");
    }();
    static std::ostream out(buffer);
    out.exceptions(std::ios::badbit);
    return out;
}

void prepareStandardStreams()
{
    reportCrashesAsFailures();
    endOnStopRequests();
    takeConsoleOrBytes(std::cout, stdout, STD_OUTPUT_HANDLE);
    takeConsoleOrBytes(std::cerr, stderr, STD_ERROR_HANDLE);
    // Standard input is read as it is, carriage returns and all.
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
