#include "appserver/ProcessLaunch.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "baselib/kx_log.h"
#include "foundation/Log.h"
#include "foundation/OutputFile.h"

namespace {

const int kMaxArgs = 15;  // words taken from the command line
const size_t kCommandBufferSize = 8192;

// Runs in the child before execv: its standard output and error go to its
// own file, opened like the daemon's own output file. On failure the line
// is logged and the output stays with the service's, where nothing is lost
// either.
void RedirectOutput(const std::string& path)
{
    if (path.empty())
        return;
    std::string reason;
    int fd = foundation::OpenOutputFile(path, &reason);
    if (fd < 0) {
        // The OS's own words, except for what it has none for: a FIFO or
        // another file that is not a regular one.
        int error = errno;
        KXLogWrite(CLog::_pKXLog, "StartProcess(): cannot open output file %s (%s)", path.c_str(),
                   error == ELOOP ? strerror(error) : reason.c_str());
        return;
    }
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

// The parent may run with signals blocked or ignored; both survive execv,
// and the server must start with the defaults.
void ResetSignals()
{
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Splits `command` into `buffer` and `argv`; false when it does not fit, as
// running a truncated command would start something other than configured.
bool SplitCommand(const std::string& command, char (&buffer)[kCommandBufferSize],
                  char* (&argv)[kMaxArgs + 1])
{
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

// Runs in the child between fork and execv; never returns.
[[noreturn]] void ExecCommand(const std::string& command, pid_t parent)
{
    // A server must not outlive its supervisor: left running unsupervised it
    // would hold its port, and the next supervisor's start of it would fail.
    // If the parent died before the death signal was armed, getppid() has
    // already changed and nobody would deliver it.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)
        _exit(1);
    ResetSignals();

    char buffer[kCommandBufferSize];
    char* argv[kMaxArgs + 1];
    int error = E2BIG;
    if (SplitCommand(command, buffer, argv)) {
        error = ENOENT;
        if (argv[0] != nullptr) {
            execv(argv[0], argv);
            error = errno;
        }
    }
    KXLogWrite(CLog::_pKXLog, "StartProcess(): failed for command \"%s\" (%s)", command.c_str(),
               strerror(error));
    // _exit, not exit: the child shares the parent's unflushed stdio buffers
    // and exit handlers, which must run once, in the parent.
    _exit(1);
}

}  // namespace

pid_t LaunchProcess(const std::string& command, const std::string& outputFile)
{
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        RedirectOutput(outputFile);
        ExecCommand(command, parent);
    }
    return pid;
}
