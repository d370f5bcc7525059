// Processes and stop signals for the tests on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace chartseal::test {

struct Process::Running {
    pid_t pid = -1;
};

Process::Process(const std::string& program, const std::string& dir, const std::string& input,
                 const std::vector<std::string>& args)
    : io_(makeTempDir()), running_(new Running)
{
    writeFile(io_ + "/in", input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, (io_ + "/in").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (io_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (io_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&running_->pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        running_->pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

Process::~Process()
{
    if (running_->pid > 0) {
        ::kill(running_->pid, SIGKILL);
        ::waitpid(running_->pid, nullptr, 0);
    }
    delete running_;
    std::error_code ec;
    std::filesystem::remove_all(io_, ec);
}

ProcessResult Process::wait()
{
    ProcessResult result;
    if (running_->pid <= 0) return result;
    int raw = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (::waitpid(running_->pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(running_->pid, SIGKILL);
            ::waitpid(running_->pid, &raw, 0);
            raw = 124 << 8;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    running_->pid = -1;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    result.out = readFile(io_ + "/out").value_or("");
    result.err = readFile(io_ + "/err").value_or("");
    return result;
}

void giveAway(const std::string& path, std::uint32_t owner, std::uint32_t group)
{
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), owner, group), 0) << path;
    }
}

std::string noSuchFile()
{
    return std::error_code(ENOENT, std::system_category()).message();
}

int statusAsSeen(int status)
{
    return status & 0xFF;
}

std::vector<StopRequest> stopRequests()
{
    return {{SIGINT, "Interrupt"}, {SIGTERM, "Terminated"}, {SIGHUP, "Hangup"}, {SIGQUIT, "Quit"}};
}

void sendStopRequest(int number)
{
    ::kill(::getpid(), number);
}

bool openFilesCanBeReplaced()
{
    return true;
}

}  // namespace chartseal::test
