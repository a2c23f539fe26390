#include "appserver/AppServerProcess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "baselib/kx_log.h"
#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/OutputFile.h"

namespace {

const int kMaxArgs = 15;  // words taken from the command line
const size_t kCommandBufferSize = 8192;
const int kThrottleFailures = 4;      // more quick failures than this throttle the starts
const time_t kThrottleSeconds = 119;  // ...to one every 120 seconds
const time_t kQuickFailSeconds = 59;  // an end within this time of the start is quick

// Runs in the child before execv: its standard output and error go to its
// own file, opened like the daemon's own output file. On failure the line
// is logged and the output stays with the service's, where nothing is lost
// either.
void RedirectOutput(const std::string& path)
{
    if (path.empty())
        return;
    int fd = foundation::OpenOutputFile(path);
    if (fd < 0) {
        KXLogWrite(CLog::_pKXLog, "StartProcess(): cannot open output file %s (%s)", path.c_str(),
                   strerror(errno));
        return;
    }
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
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

    // The parent may run with signals blocked or ignored; both survive execv,
    // and the server must start with the defaults.
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    char buffer[kCommandBufferSize];
    char* argv[kMaxArgs + 1];
    int error = E2BIG;
    // A longer command cannot be split without losing its end; running a
    // truncated command would start something other than configured.
    if (command.size() < sizeof buffer) {
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
        if (argc > 0) {
            execv(argv[0], argv);
            error = errno;
        } else {
            error = ENOENT;
        }
    }
    KXLogWrite(CLog::_pKXLog, "StartProcess(): failed for command \"%s\" (%s)", command.c_str(),
               strerror(error));
    // _exit, not exit: the child shares the parent's unflushed stdio buffers
    // and exit handlers, which must run once, in the parent.
    _exit(1);
}

}  // namespace

const char* ServerStateName(ServerState state)
{
    switch (state) {
    case ServerState::NotStarted:
        return "not started";
    case ServerState::Ended:
        return "ended";
    case ServerState::Running:
        return "running";
    case ServerState::Stopping:
        return "stopping";
    }
    return "unknown";
}

bool Process::throttled(time_t now) const
{
    return mFailCount > kThrottleFailures && now <= mStartTime + kThrottleSeconds;
}

time_t Process::nextDeadline() const
{
    if (mHeld)
        return 0;
    if (mFailCount > kThrottleFailures) {
        if (mState == ServerState::Running)
            return mStartTime + kQuickFailSeconds + 1;
        if (mState == ServerState::NotStarted || mState == ServerState::Ended)
            return mStartTime + kThrottleSeconds + 1;
        return 0;
    }
    // A failed fork is tried again in the next second, as the loop always did.
    if (mState == ServerState::NotStarted && mStartTime != 0)
        return mStartTime + 1;
    return 0;
}

void Process::terminate(int signal)
{
    kill(mPid, signal);
    kill(mPid, SIGCONT);
    mState = ServerState::Stopping;
}

bool Process::liftThrottle(time_t now)
{
    if (mState != ServerState::Running || mFailCount <= kThrottleFailures ||
        now <= mStartTime + kQuickFailSeconds)
        return false;
    // Its end from now on would reset the count anyway; forgetting it now
    // lets the log say so when it happens.
    mFailCount = 0;
    mThrottleLogged = false;
    KXLogWrite(CLog::_pKXLog, "Process::restart(): \"%s\" runs again; throttle lifted",
               mCommand.c_str());
    return true;
}

void Process::restart()
{
    if (mState == ServerState::Running || mState == ServerState::Stopping || mHeld)
        return;
    time_t now = time(nullptr);
    if (throttled(now)) {
        if (!mThrottleLogged) {
            mThrottleLogged = true;
            KXLogWrite(CLog::_pKXLog,
                       "Process::restart(): \"%s\" failed 5 times within 60 s; next start in "
                       "120 s",
                       mCommand.c_str());
        }
        return;
    }

    mStartTime = now;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        RedirectOutput(mOutputFile);
        ExecCommand(mCommand, parent);
    }
    if (pid < 0) {
        int error = errno;
        ++mFailCount;
        mState = ServerState::NotStarted;
        throw CWIException(ERROR_GENERAL, "Process::start(): failed to fork a new process (%s)",
                           strerror(error));
    }
    if (mPid != 0)
        ++mRestarts;
    mPid = pid;
    mState = ServerState::Running;
    KXLogWrite(CLog::_pKXLog, "Process::start(): started \"%s\"", mCommand.c_str());
}

void Process::updateTerminated(int status, time_t when)
{
    mState = ServerState::Ended;
    mStatus = status;
    mEndTime = when;

    int signalNumber = status & 0x7f;
    int exitCode = (status >> 8) & 0xff;
    bool core = (status & 0x80) != 0;
    bool exitedWithError = signalNumber == 0 && exitCode != 0;
    bool killed = signalNumber >= 1 && signalNumber <= 126;

    if ((exitedWithError || core || killed) && when - mStartTime <= kQuickFailSeconds) {
        ++mFailCount;
    } else {
        mFailCount = 0;
        mThrottleLogged = false;
    }

    if (exitedWithError)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated with exit-state %d",
                   mCommand.c_str(), exitCode);
    else if (core)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated due to a segmentation fault "
                   "(core dumped)",
                   mCommand.c_str());
    else if (killed)
        KXLogWrite(CLog::_pKXLog,
                   "Process::updateTerminated(): \"%s\" terminated due to an unhandled signal #%d",
                   mCommand.c_str(), signalNumber);
}

AppServerProcess::AppServerProcess(const std::string& baseDir, const std::string& options,
                                   const std::string& host, unsigned short port, int bind)
    : mPort(port), mHost(host)
{
    mBaseDir = baseDir;
    mCommand = CTarvelEnv::perlDir() + "/bin/perl";
    if (!options.empty())
        mCommand += " " + options;
    mCommand += " " + CTarvelEnv::cartridgesDir() + "/DE_TARVEL/WebInterface/Scripts/appsrv.pl";
    if (!host.empty())
        mCommand += " -localip " + host;
    mCommand += " -port " + std::to_string(port);
    if (bind != 0)
        mCommand += " -bind";
}
