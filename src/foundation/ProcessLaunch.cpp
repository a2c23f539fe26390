#include "foundation/ProcessLaunch.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "baselib/kx_spawn.h"
#include "foundation/Log.h"

namespace {

const int kMaxArgs = 15;  // words taken from the command line
const size_t kCommandBufferSize = 8192;

// Splits `command` into `buffer` and `argv`; false when it does not fit, as
// running a truncated command would start something other than configured.
bool SplitCommand(const std::string& command, char (&buffer)[kCommandBufferSize],
                  char* (&argv)[kMaxArgs + 1])
{
    argv[0] = nullptr;
    if (command.size() >= sizeof buffer)
        return false;
    memcpy(buffer, command.c_str(), command.size() + 1);
    int argc = 0;
    char* p = buffer;
    while (argc < kMaxArgs) {
        while (*p == ' ')
            ++p;
        if (*p == '\0')
            break;
        argv[argc++] = p;
        while (*p != '\0' && *p != ' ')
            ++p;
        if (*p == ' ')
            *p++ = '\0';
    }
    argv[argc] = nullptr;
    return true;
}

// True for the variables by which a process talks to its own supervisor.
bool SupervisorVariable(const char* entry)
{
    for (const char* name : {"NOTIFY_SOCKET=", "WATCHDOG_USEC=", "WATCHDOG_PID="})
        if (strncmp(entry, name, strlen(name)) == 0)
            return true;
    return false;
}

}  // namespace

std::vector<std::string> ServerEnvironment(const LaunchOptions& options)
{
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (!SupervisorVariable(*entry))
            environment.emplace_back(*entry);
    if (!options.notifySocket.empty())
        environment.push_back("NOTIFY_SOCKET=" + options.notifySocket);
    if (options.watchdogUsec != 0)
        environment.push_back("WATCHDOG_USEC=" + std::to_string(options.watchdogUsec));
    return environment;
}

pid_t LaunchProcess(const LaunchOptions& options)
{
    char buffer[kCommandBufferSize];
    char* argv[kMaxArgs + 1];
    KXSpawnRequest request{};
    request.argv = argv;
    request.argvError = SplitCommand(options.command, buffer, argv) ? 0 : E2BIG;
    request.command = options.command.c_str();
    request.outputPath = options.outputFile.empty() ? nullptr : options.outputFile.c_str();
    request.newSession = options.newSession;
    // A server must not outlive its supervisor: left running unsupervised it
    // would hold its port, and the next supervisor's start of it would fail.
    request.deathSignal = SIGTERM;
    request.cgroupFd = options.cgroupFd;
    request.log = CLog::_pKXLog;
    // Made before the clone, and copied with the request.
    std::vector<std::string> environment = ServerEnvironment(options);
    std::vector<char*> envp;
    envp.reserve(environment.size() + 1);
    for (std::string& entry : environment)
        envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    request.envp = envp.data();
    request.overlap = options.overlap;
    return KXSpawn(&request);
}

void FinishLaunches()
{
    KXSpawnFinish();
}
