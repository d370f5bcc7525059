// Work done in a child process that has taken another user's identity: how
// the tests run as the users and groups a shared folder has, with no entry
// in /etc/passwd needed.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace chartseal::test {

struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;  // supplementary
};

struct ChildRan {
    int status = -1;  // 128 + n where signal n ended it; 99 where the identity could not be taken
    std::string err;  // what work wrote to its error stream
};

// Runs work in a child: first before (still as this process's user), then
// the identity taken, then work with a stream for its error lines. Its
// exit status and those lines.
inline ChildRan asUser(const Identity& who, const std::function<int(std::ostream& err)>& work,
                       const std::function<void()>& before = {})
{
    int channel[2];
    if (::pipe(channel) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        if (before) before();
        if (::setgroups(who.groups.size(), who.groups.data()) != 0 || ::setresgid(who.gid, who.gid, who.gid) != 0 ||
            ::setresuid(who.uid, who.uid, who.uid) != 0) {
            ::_exit(99);
        }
        std::ostringstream err;
        const int status = work(err);
        const std::string text = err.str();
        if (::write(channel[1], text.data(), text.size()) < 0) ::_exit(98);
        ::_exit(status & 0xFF);
    }
    ::close(channel[1]);
    ChildRan ran;
    char buf[4096];
    for (ssize_t n; (n = ::read(channel[0], buf, sizeof buf)) > 0;) ran.err.append(buf, static_cast<std::size_t>(n));
    ::close(channel[0]);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    ran.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return ran;
}

}  // namespace chartseal::test
