// The service and its servers hold only the descriptors they opened: a
// caller that captures the output of `{ tarvelsvc -stop; tarvelsvc -start; }
// 3>&1` gets its end of file as soon as -start returns.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/installation.h"

namespace {

using testutil::Installation;

// The targets of the descriptors of `pid`.
std::vector<std::string> Descriptors(pid_t pid)
{
    std::vector<std::string> targets;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr)
        return targets;
    while (struct dirent* entry = readdir(listing)) {
        char target[4096];
        ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target);
        if (n > 0)
            targets.emplace_back(target, static_cast<size_t>(n));
    }
    closedir(listing);
    return targets;
}

bool Holds(pid_t pid, const std::string& target)
{
    for (const std::string& held : Descriptors(pid))
        if (held == target)
            return true;
    return false;
}

// A pipe whose write end the started program gets as descriptors 3, 10 and
// 251, the way a shell hands down a redirection.
class CallerPipe {
public:
    CallerPipe()
    {
        EXPECT_EQ(pipe2(mEnds, O_CLOEXEC), 0);
        struct stat st;
        fstat(mEnds[0], &st);
        mName = "pipe:[" + std::to_string(st.st_ino) + "]";
    }
    ~CallerPipe()
    {
        for (int fd : mEnds)
            if (fd >= 0)
                close(fd);
    }
    const std::string& name() const { return mName; }

    // Starts argv with `env` added; stdout and stderr go to files in `dir`.
    pid_t Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& dir)
    {
        pid_t pid = fork();
        if (pid == 0) {
            for (int target : {3, 10, 251})
                dup2(mEnds[1], target);
            int out = open((dir + "/caller.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            for (const std::string& entry : env)
                putenv(strdup(entry.c_str()));
            std::vector<char*> args;
            for (const std::string& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        return pid;
    }
    // Closes our write end; true when the read end sees its end within
    // `timeoutMs`: no other process holds the write end any more.
    bool EndOfFile(int timeoutMs)
    {
        close(mEnds[1]);
        mEnds[1] = -1;
        pollfd p{mEnds[0], POLLIN, 0};
        char byte;
        return poll(&p, 1, timeoutMs) == 1 && read(mEnds[0], &byte, 1) == 0;
    }

private:
    int mEnds[2] = {-1, -1};
    std::string mName;
};

TEST(Descriptors, DaemonAndServersHoldNothingOfTheCaller)
{
    Installation inst(Installation::Use::Binary);
    CallerPipe caller;
    pid_t start = caller.Start({inst.exe(), "-start"}, inst.env(), inst.dir());
    int status = testutil::ServiceCopy::WaitForExit(start, 40000);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << testutil::ReadFile(inst.path("caller.out"));
    pid_t daemon = inst.copy().WaitForDaemon("TARVEL");
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(inst.WaitForServers());

    EXPECT_FALSE(Holds(daemon, caller.name()));
    std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);
    for (pid_t server : servers) {
        EXPECT_FALSE(Holds(server, caller.name())) << server;
        EXPECT_FALSE(Holds(server, inst.path("run/tarvelsvc.lock"))) << server;
        EXPECT_FALSE(Holds(server, inst.path("log/Service.out"))) << server;
    }
    // The daemon holds its lock, and the standard descriptors go to its files.
    EXPECT_TRUE(Holds(daemon, inst.path("run/tarvelsvc.lock")));
    std::vector<std::string> held = Descriptors(daemon);
    EXPECT_EQ(std::count(held.begin(), held.end(), inst.path("log/Service.out")), 2) << held.size();
    EXPECT_TRUE(caller.EndOfFile(2000)) << "a process still holds the caller's pipe";

    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    EXPECT_TRUE(testutil::WaitUntil([&] { return inst.Servers().empty(); }, 5000));
}

TEST(Descriptors, ServersOfAConsoleInheritNothingOfTheCaller)
{
    Installation inst(Installation::Use::Binary);
    CallerPipe caller;
    pid_t console = caller.Start({inst.exe(), "-console"}, inst.env(), inst.dir());
    ASSERT_TRUE(inst.WaitForServers()) << testutil::ReadFile(inst.path("caller.out"));
    std::vector<pid_t> servers = inst.Servers();
    ASSERT_EQ(servers.size(), 2u);
    // The console runs in the caller's place and keeps what it was given.
    EXPECT_TRUE(Holds(console, caller.name()));
    for (pid_t server : servers) {
        EXPECT_FALSE(Holds(server, caller.name())) << server;
        EXPECT_FALSE(Holds(server, inst.path("run/tarvelsvc.lock"))) << server;
    }
    kill(console, SIGTERM);
    int status = testutil::ServiceCopy::WaitForExit(console, 20000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(caller.EndOfFile(5000));
}

}  // namespace
