// Standard input read straight from its descriptor; SIGPIPE and SIGXFSZ ignored.
#include "console/StandardStreams.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <ostream>
#include <streambuf>

#include "console/HandleOutput.h"
#include "io/FileOps.h"

namespace chartseal {

namespace {

class DescriptorInput final : public std::streambuf {
protected:
    int_type underflow() override
    {
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buf_, sizeof buf_);
            if (n > 0) {
                setg(buf_, buf_, buf_ + n);
                return traits_type::to_int_type(buf_[0]);
            }
            if (n == 0) return traits_type::eof();
            if (errno != EINTR) {
                throw RunError("standard input", "cannot read", std::error_code(errno, std::system_category()));
            }
        }
    }

private:
    char buf_[4096];
};

}  // namespace

std::istream& standardInput()
{
    static DescriptorInput buffer;
    static std::istream in(&buffer);
    in.exceptions(std::ios::badbit);
    return in;
}

std::ostream& standardOutput()
{
    static HandleOutput buffer(systemFileOps(), STDOUT_FILENO, "standard output");
    static std::ostream out(&buffer);
    out.exceptions(std::ios::badbit);
    return out;
}

void prepareStandardStreams()
{
    // A closed pipe and a file-size limit (ulimit -f) make writes fail with
    // EPIPE and EFBIG, reported and undone like any failed write, instead of
    // ending the process without a word.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

std::vector<std::string> programArguments(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::size_t raiseOpenFileLimit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const std::size_t most =
        limit.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20 : static_cast<std::size_t>(limit.rlim_cur);
    // Less those open already (the standard streams, and any the process
    // was started with): the lowest free descriptors are counted up to the
    // first hundred, beyond which a handful more or less does not matter.
    std::size_t open = 0;
    for (int fd = 0; fd < 100 && static_cast<std::size_t>(fd) < most; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) ++open;
    }
    return most - open;
}

bool standardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

FileHandle standardOutputHandle()
{
    return STDOUT_FILENO;
}

void reportCrashesAsFailures() {}

}  // namespace chartseal
