#include "common/installation.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "foundation/Log.h"

namespace testutil {

namespace {

const std::string kDemo = std::string(TARVEL_SOURCE_DIR) + "/demo";
const std::string kScript = "cartridges/DE_TARVEL/WebInterface/Scripts/appsrv.pl";

const char* kStubPerl =
    "#!/bin/sh\n"
    "[ -n \"$STUB_STOP\" ] && kill -STOP $$\n"
    "if [ -n \"$STUB_ARGS\" ]; then\n"
    "  for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > \"$STUB_ARGS.tmp\"\n"
    "  mv \"$STUB_ARGS.tmp\" \"$STUB_ARGS\"\n"
    "fi\n"
    "[ -n \"$STUB_SIGNAL\" ] && kill -\"$STUB_SIGNAL\" $$\n"
    "[ -n \"$STUB_EXIT\" ] && exit \"$STUB_EXIT\"\n"
    "[ -n \"$STUB_IGNORE_TERM\" ] && trap '' TERM\n"
    "exec sleep 1000\n";

const char* kStubVariables[] = {"STUB_ARGS",
                                "STUB_SIGNAL",
                                "STUB_EXIT",
                                "STUB_IGNORE_TERM",
                                "STUB_STOP",
                                "APPSRV_EXIT_CODE",
                                "APPSRV_CRASH_SIGNAL",
                                "APPSRV_IGNORE_SHUTDOWN",
                                "APPSRV_SHUTDOWN_DELAY",
                                "APPSRV_IGNORE_TERM",
                                "APPSRV_LISTEN_DELAY"};

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
        std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        for (char& c : cmdline)
            if (c == '\0')
                c = ' ';
        if (cmdline.find(dir + "/") != std::string::npos && ProcessRunning(pid))
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

Installation::Installation(Use use)
    : Installation(use, use == Use::Binary ? Perl::System : Perl::Stub)
{
}

Installation::Installation(Use use, Perl perl) : mUse(use)
{
    for (const char* sub :
         {"perl/bin", "cartridges/DE_TARVEL/WebInterface/Scripts", "config", "log"})
        MakeDirs(mDir / sub);
    if (perl == Perl::System) {
        if (symlink("/usr/bin/perl", this->perl().c_str()) != 0)
            throw std::runtime_error("cannot link perl");
    } else {
        WriteFile(this->perl(), kStubPerl);
        chmod(this->perl().c_str(), 0755);
    }
    CopyFile(kDemo + "/" + kScript, script(), true);

    if (mUse == Use::Binary) {
        BecomeSubreaper();
        mPorts[0] = FreePort();
        do
            mPorts[1] = FreePort();
        while (mPorts[1] == mPorts[0]);
        mCopy = std::make_unique<ServiceCopy>(TARVELSVC_PATH, mDir / "tarvelsvc", log());
        writeDemoConfig();
        return;
    }
    for (const auto& entry : env()) {
        auto eq = entry.find('=');
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    for (const char* name : kStubVariables)
        unsetenv(name);
    CLog::setFileName(log().c_str());
}

Installation::~Installation()
{
    if (mUse == Use::InProcess) {
        for (const char* name : kStubVariables)
            unsetenv(name);
        return;
    }
    for (pid_t pid : ProcessesUnder(dir()))
        KillAndReap(pid);
    ReapChildren();
}

std::string Installation::script() const
{
    return mDir / kScript;
}

std::vector<std::string> Installation::env() const
{
    std::vector<std::string> entries = {"TARVEL=" + dir(),
                                        "TARVEL_CARTRIDGES=" + (mDir / "cartridges"),
                                        "TARVEL_PERL=" + (mDir / "perl"),
                                        "TARVEL_CONFIG=" + (mDir / "config"),
                                        "TARVEL_LOG=" + (mDir / "log")};
    if (mUse == Use::Binary) {
        entries.push_back("TARVEL_WEBROOT=" + dir());
        entries.push_back("TARVEL_IPLIST=127.0.0.1");
    }
    return entries;
}

void Installation::writeWebInterfaceConf(const std::string& text) const
{
    WriteFile(mDir / "config/WebInterface.conf", text);
}

void Installation::writeServerConfig(const std::vector<std::string>& appservers) const
{
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
        "  <requestrouters>\n"
        "    <requestrouter name=\"router\" host=\"127.0.0.1\" port=\"1\" "
        "monitor_port=\"2\"/>\n"
        "  </requestrouters>\n"
        "  <pools>\n    <pool name=\"p\">\n"
        "      <requestrouters><requestrouter>router</requestrouter></requestrouters>\n"
        "      <appservers>\n";
    for (const auto& element : appservers)
        xml += "        " + element + "\n";
    xml +=
        "      </appservers>\n    </pool>\n  </pools>\n"
        "  <cacheservers><server host=\"127.0.0.1\" port=\"3\"/></cacheservers>\n"
        "</config>\n";
    WriteFile(mDir / "config/ServerConfig.xml", xml);
}

void Installation::writeDemoConfig() const
{
    CopyFile(kDemo + "/config/WebInterface.conf", mDir / "config/WebInterface.conf");
    std::string xml = ReadFile(kDemo + "/config/ServerConfig.xml");
    xml = Replace(xml, "ports=\"8001,8002\"",
                  "ports=\"" + std::to_string(mPorts[0]) + "," + std::to_string(mPorts[1]) + "\"");
    WriteFile(mDir / "config/ServerConfig.xml", xml);
}

int Installation::countMessage(const std::string& message) const
{
    int n = 0;
    for (const auto& text : messages())
        if (text == message)
            ++n;
    return n;
}

bool Installation::WaitForLog(const std::string& text, int count, int timeoutMs) const
{
    return WaitUntil([&] { return CountLines(text) >= count; }, timeoutMs);
}

int Installation::LineOf(const std::string& text, int from) const
{
    auto lines = ReadLines(log());
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos)
            return static_cast<int>(i);
    return -1;
}

RunResult Installation::Ctl(const std::vector<std::string>& args,
                            const std::vector<std::string>& extra, int timeoutMs)
{
    return mCopy->Ctl(args, MergeEnv(env(), extra), timeoutMs);
}

std::string Installation::ServerObject(unsigned short port)
{
    RunResult r = Ctl({"-servers", "-json"});
    size_t at = r.out.find("\"port\": " + std::to_string(port) + ",");
    return at == std::string::npos ? "" : r.out.substr(at, r.out.find('}', at) - at);
}

pid_t Installation::ServerPid(unsigned short port)
{
    std::string object = ServerObject(port);
    size_t at = object.find("\"pid\": ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(atol(object.c_str() + at + 7));
}

pid_t Installation::StartDaemon(const std::vector<std::string>& extra, pid_t previous)
{
    RunResult r = Ctl({"-start"}, extra);
    if (r.exitCode != 0) {
        ADD_FAILURE() << "-start exited " << r.exitCode << ": " << r.err;
        return 0;
    }
    pid_t daemon = mCopy->WaitForDaemon("TARVEL", previous);
    if (daemon <= 0 || !WaitForServers()) {
        ADD_FAILURE() << "the daemon " << daemon << " did not come to serve";
        return 0;
    }
    return daemon;
}

pid_t Installation::StartConsole(const std::vector<std::string>& extra)
{
    return Spawn({exe(), "-console"}, MergeEnv(env(), extra), mDir / "console.out",
                 mDir / "console.err", true);
}

std::vector<pid_t> Installation::Servers() const
{
    std::vector<pid_t> servers;
    for (pid_t pid : ProcessesUnder(dir())) {
        std::string cmdline = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (cmdline.find("appsrv.pl") != std::string::npos)
            servers.push_back(pid);
    }
    return servers;
}

bool Installation::WaitForServers(int timeoutMs) const
{
    return WaitUntil([&] {
        return HttpGet(mPorts[0]).find("port: " + std::to_string(mPorts[0])) != std::string::npos &&
               HttpGet(mPorts[1]).find("port: " + std::to_string(mPorts[1])) != std::string::npos;
    }, timeoutMs, 50);
}

std::string HttpGet(unsigned short port)
{
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return "";
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string reply;
    const char request[] = "GET / HTTP/1.0\r\n\r\n";
    if (send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1) {
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            reply.append(buf, n);
    }
    close(fd);
    return reply;
}

}  // namespace testutil
