#include "common/test_util.h"

#include "shared/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testutil {

TempDir::TempDir()
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tarvel-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    mPath = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

void MakeDirs(const std::string& path)
{
    std::filesystem::create_directories(path);
}

void CopyFile(const std::string& from, const std::string& to, bool executable)
{
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    if (executable)
        chmod(to.c_str(), 0755);
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int CountLinesContaining(const std::string& path, const std::string& text)
{
    int n = 0;
    for (const auto& line : ReadLines(path))
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : mName(name)
{
    const char* old = getenv(name);
    mHad = old != nullptr;
    if (mHad)
        mOld = old;
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (mHad)
        setenv(mName.c_str(), mOld.c_str(), 1);
    else
        unsetenv(mName.c_str());
}

std::vector<std::string> LogMessages(const std::string& path, const std::string& prefix)
{
    std::vector<std::string> messages;
    for (const std::string& line : ReadLines(path)) {
        size_t end = line.find("] ");
        std::string message = end == std::string::npos ? line : line.substr(end + 2);
        if (message.rfind(prefix, 0) == 0)
            messages.push_back(message);
    }
    return messages;
}

bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs, int stepMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

void BecomeSubreaper()
{
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

int ReapChildren()
{
    int n = 0;
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        ++n;
    return n;
}

char ProcessStateOf(pid_t pid)
{
    if (pid <= 0)
        return '?';
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    // The state follows the command name, which is in parentheses.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size())
        return '?';
    return stat[close + 2];
}

bool ProcessRunning(pid_t pid)
{
    char state = ProcessStateOf(pid);
    return state != '?' && state != 'Z' && state != 'X';
}

std::string StatusField(pid_t pid, const std::string& name)
{
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

std::string OwnCgroupDir()
{
    for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"}) {
        struct stat info;
        if (stat((std::string(mount) + "/cgroup.procs").c_str(), &info) != 0)
            continue;
        std::ifstream in("/proc/self/cgroup");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("0::", 0) == 0)
                return mount + line.substr(3);
    }
    return "";
}

std::string MakeChildCgroup(const std::string& name)
{
    const std::string own = OwnCgroupDir();
    const std::string cgroup = own + "/" + name;
    return !own.empty() && mkdir(cgroup.c_str(), 0755) == 0 ? cgroup : "";
}

std::string RunAsUser(const std::string& user, const std::function<std::string()>& work)
{
    struct passwd* entry = getpwnam(user.c_str());
    int ends[2];
    if (entry == nullptr || pipe(ends) != 0)
        return "";
    pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        if (setgid(entry->pw_gid) != 0 || setuid(entry->pw_uid) != 0)
            _exit(2);
        std::string text = work();
        ssize_t ignored = write(ends[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(ends[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while (child > 0 && (n = read(ends[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    int status = -1;
    if (child > 0)
        waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "";
}

void KillAndReap(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    WaitUntil([&] {
        waitpid(pid, nullptr, WNOHANG);
        return !ProcessRunning(pid);
    }, 5000, 10);
    waitpid(pid, nullptr, WNOHANG);
}

// Ports are drawn below the kernel's ephemeral range: a port from bind(0)
// lies inside it, and any outgoing connection of a test running beside this
// one (probes, clients) may take it as its local port before the server
// binds it, which fails the server's start with "Address already in use".
static unsigned short EphemeralLow()
{
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned low = 0;
    return range >> low && low > 0 && low < 65536 ? static_cast<unsigned short>(low) : 32768;
}

// The port, bound a moment ago on 127.0.0.1 (0: any); 0 when it was taken.
static unsigned short BoundPort(unsigned short port)
{
    sockets::Endpoint at = sockets::Endpoint::Loopback(port);
    int fd = sockets::Bind(at);
    if (fd < 0)
        return 0;
    close(fd);
    return at.port;
}

unsigned short FreePort()
{
    // 20001-22000 belong to the storm test's fixed range; stay above it.
    const unsigned lowest = 23000, high = EphemeralLow();
    static unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u ^
                           static_cast<unsigned>(time(nullptr));
    for (int tries = 0; high > lowest + 100 && tries < 1000; ++tries) {
        seed = seed * 1103515245u + 12345u;
        if (unsigned short port = BoundPort(static_cast<unsigned short>(lowest + (seed >> 8) % (high - lowest))))
            return port;
    }
    if (unsigned short port = BoundPort(0))
        return port;
    throw std::runtime_error("no free port");
}

int ConnectLoopback(unsigned short port)
{
    return sockets::Connect(sockets::Endpoint::Loopback(port));
}

bool PortOpen(unsigned short port)
{
    int fd = ConnectLoopback(port);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

static std::vector<std::string> MergedEnv(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : extra)
            if (x.substr(0, x.find('=')) == name)
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto& x : extra)
        if (x.find('=') != std::string::npos)  // "NAME" alone removes NAME
            env.push_back(x);
    return env;
}

static pid_t SpawnWithFds(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int outFd, int errFd, bool newGroup)
{
    auto envv = MergedEnv(env);
    std::vector<char*> args, envs;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envv)
        envs.push_back(const_cast<char*>(e.c_str()));
    envs.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (newGroup)
            setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        execve(args[0], args.data(), envs.data());
        _exit(127);
    }
    return pid;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& outFile, const std::string& errFile, bool newGroup)
{
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = SpawnWithFds(argv, env, out, err, newGroup);
    close(out);
    close(err);
    return pid;
}

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              int timeoutMs)
{
    TempDir dir;
    std::string outPath = dir / "out", errPath = dir / "err";
    pid_t pid = Spawn(argv, env, outPath, errPath, false);
    RunResult r;
    int status = 0;
    bool done = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs, 5);
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        r.timedOut = true;
    } else if (WIFEXITED(status)) {
        r.exitCode = WEXITSTATUS(status);
    }
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

}  // namespace testutil
