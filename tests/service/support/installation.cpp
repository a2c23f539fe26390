#include "support/installation.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace svctest {

namespace {

const std::string kDemo = std::string(TARVEL_SOURCE_DIR) + "/demo";
const std::string kScript = "/cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl";

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    auto at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("demo configuration lacks " + from);
    return text.replace(at, from.size(), to);
}

// Every process whose command line names this installation's directory:
// its daemons and application servers, whoever their parent is now.
std::vector<pid_t> ProcessesUnder(const std::string& dir)
{
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return pids;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = atoi(entry->d_name);
        if (pid <= 0 || pid == getpid())
            continue;
        std::string cmdline = testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        for (char& c : cmdline)
            if (c == '\0')
                c = ' ';
        if (cmdline.find(dir + "/") != std::string::npos && testutil::ProcessRunning(pid))
            pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

// `extra` entries replace those of `base` with the same name; an entry that
// is a bare NAME removes the variable.
std::vector<std::string> MergeEnv(std::vector<std::string> base,
                                  const std::vector<std::string>& extra)
{
    auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    for (const auto& entry : extra) {
        for (auto it = base.begin(); it != base.end();)
            it = name(*it) == name(entry) ? base.erase(it) : it + 1;
        base.push_back(entry);
    }
    return base;
}

}  // namespace

Installation::Installation()
    : mPorts{testutil::FreePort(), testutil::FreePort()},
      mCopy(TARVELSVC_PATH, mDir / "tarvelsvc", mDir / "log/Service.log")
{
    testutil::BecomeSubreaper();
    while (mPorts[1] == mPorts[0])
        mPorts[1] = testutil::FreePort();

    testutil::MakeDirs(mDir / "config");
    testutil::MakeDirs(mDir / "log");
    testutil::MakeDirs(mDir / "perl/bin");
    testutil::MakeDirs(mDir / "cartridges/DE_TARVEL/WebInterface/Scripts");
    if (symlink("/usr/bin/perl", (mDir / "perl/bin/perl").c_str()) != 0)
        throw std::runtime_error("cannot link perl");
    testutil::CopyFile(kDemo + kScript, dir() + kScript);
    testutil::CopyFile(kDemo + "/config/WebInterface.conf", mDir / "config/WebInterface.conf");
    std::string xml = testutil::ReadFile(kDemo + "/config/ServerConfig.xml");
    xml = Replace(xml, "ports=\"8001,8002\"",
                  "ports=\"" + std::to_string(mPorts[0]) + "," + std::to_string(mPorts[1]) + "\"");
    testutil::WriteFile(mDir / "config/ServerConfig.xml", xml);
}

Installation::~Installation()
{
    for (pid_t pid : ProcessesUnder(dir()))
        testutil::KillAndReap(pid);
    testutil::ReapChildren();
}

std::vector<std::string> Installation::env() const
{
    return {"TARVEL=" + dir(),
            "TARVEL_CARTRIDGES=" + (mDir / "cartridges"),
            "TARVEL_PERL=" + (mDir / "perl"),
            "TARVEL_WEBROOT=" + dir(),
            "TARVEL_CONFIG=" + (mDir / "config"),
            "TARVEL_LOG=" + (mDir / "log"),
            "TARVEL_IPLIST=127.0.0.1"};
}

testutil::RunResult Installation::Ctl(const std::vector<std::string>& args,
                                      const std::vector<std::string>& extra, int timeoutMs)
{
    return mCopy.Ctl(args, MergeEnv(env(), extra), timeoutMs);
}

pid_t Installation::StartConsole(const std::vector<std::string>& extra)
{
    return testutil::Spawn({exe(), "-console"}, MergeEnv(env(), extra), mDir / "console.out",
                           mDir / "console.err", true);
}

std::vector<pid_t> Installation::Servers() const
{
    std::vector<pid_t> servers;
    for (pid_t pid : ProcessesUnder(dir())) {
        std::string cmdline = testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find("appsrv.pl") != std::string::npos)
            servers.push_back(pid);
    }
    return servers;
}

bool Installation::WaitForServers(int timeoutMs) const
{
    return testutil::WaitUntil([&] {
        return HttpGet(mPorts[0]).find("port: " + std::to_string(mPorts[0])) != std::string::npos &&
               HttpGet(mPorts[1]).find("port: " + std::to_string(mPorts[1])) != std::string::npos;
    }, timeoutMs, 50);
}

bool Installation::WaitForLog(const std::string& text, int count, int timeoutMs) const
{
    return mCopy.WaitForLog(text, count, timeoutMs);
}

int Installation::CountLines(const std::string& text) const
{
    return mCopy.CountLines(text);
}

int Installation::LineOf(const std::string& text, int from) const
{
    auto lines = testutil::ReadLines(log());
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

std::string HttpGet(unsigned short port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return "";
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const char request[] = "GET / HTTP/1.0\r\n\r\n";
        if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1) {
            char buf[4096];
            ssize_t n;
            while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
                reply.append(buf, n);
        }
    }
    close(fd);
    return reply;
}

}  // namespace svctest
