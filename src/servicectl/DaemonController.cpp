#include "servicectl/DaemonController.h"

#include "baselib/kx_time.h"
#include "foundation/Assert.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/StopTimes.h"
#include "servicectl/DaemonIdentity.h"
#include "servicectl/DaemonResult.h"
#include "servicectl/DaemonStart.h"
#include "servicectl/InstallationLock.h"
#include "servicectl/ProcessState.h"
#include "servicectl/SharedPIDList.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

std::map<std::string, CDaemon*> CDaemonController::mDaemons;

namespace {

using Clock = std::chrono::steady_clock;

// How often an operator at a terminal hears that the stop goes on.
constexpr std::chrono::seconds kProgressInterval(5);

struct KillStep {
    int signal;
    int pauseMs;  // after the call, if it succeeded
};

// Two SIGTERMs, then (once the daemon had its time to finish) SIGKILLs
// with growing pauses. The daemon's end is looked for before every call,
// and ends every pause at once.
const KillStep kKillSchedule[] = {
    {SIGTERM, 100}, {SIGTERM, 200}, {SIGKILL, 300}, {SIGKILL, 400},
    {SIGKILL, 500}, {SIGKILL, 600}, {SIGKILL, 700}, {SIGKILL, 800},
    {SIGKILL, 900}, {SIGKILL, 1000}, {SIGKILL, 0},
};
constexpr size_t kFirstKillStep = 2;

// Exit statuses of -status, as init scripts report them.
constexpr int kStatusRunning = 0;
constexpr int kStatusDead = 1;       // only entries whose process has ended
constexpr int kStatusNotRunning = 3;
constexpr int kStatusUnknown = 4;    // a live entry that /proc does not let us check

// Waits for the daemon's gentle stop until `deadline`, telling an operator at
// a terminal every 5 s; true when the daemon ended.
bool WaitForStop(const servicectl::ProcessHandle& daemon, pid_t pid, Clock::time_point firstTerm,
                 Clock::time_point deadline)
{
    bool tell = isatty(STDERR_FILENO) == 1;
    for (auto tick = firstTerm + kProgressInterval;; tick += kProgressInterval) {
        if (!tell || tick >= deadline)
            return daemon.WaitForEnd(deadline);
        if (daemon.WaitForEnd(tick))
            return true;
        fprintf(stderr, "waiting for daemon %d to stop (%lld s)\n", static_cast<int>(pid),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(tick - firstTerm).count()));
        fflush(stderr);
    }
}

// Returns once the process is gone: true when it ended by its own stop,
// false when SIGKILL ended it; throws when it cannot be signalled or
// outlives the whole schedule.
// `daemon` learns of the end the moment it happens (or, without pidfd, within
// 10 ms), and its signals reach that process only.
// `stopLimit`: the daemon's stop of its servers fits in it; SIGKILL before
// that would leave them behind.
bool KillProcess(const servicectl::ProcessHandle& daemon, std::chrono::milliseconds stopLimit)
{
    pid_t pid = daemon.pid();
    // Signalling 0 or a negative number reaches whole process groups.
    if (pid <= 0)
        throw CServiceException("DaemonController/killProcess(): could not kill pid " +
                                    std::to_string(pid),
                                0);
    Clock::time_point firstTerm;
    for (size_t i = 0; i < sizeof kKillSchedule / sizeof kKillSchedule[0]; ++i) {
        // Gone before this signal: gone by its own stop unless a SIGKILL
        // went out before.
        const bool gentle = i <= kFirstKillStep;
        if (i == kFirstKillStep && WaitForStop(daemon, pid, firstTerm, firstTerm + stopLimit))
            return true;
        // An ended but unreaped daemon still accepts signals.
        if (daemon.Ended())
            return gentle;
        if (i == 0)
            firstTerm = Clock::now();
        if (daemon.Signal(kKillSchedule[i].signal) != 0) {
            if (errno == ESRCH)
                return gentle;
            throw CServiceException("DaemonController/killProcess(): kill() failed for pid " +
                                        std::to_string(pid) + " with errno = " +
                                        std::to_string(errno),
                                    0);
        }
        if (kKillSchedule[i].pauseMs > 0 &&
            daemon.WaitForEnd(Clock::now() + std::chrono::milliseconds(kKillSchedule[i].pauseMs)))
            return kKillSchedule[i].signal != SIGKILL;
    }
    if (daemon.Ended())
        return false;
    throw CServiceException("DaemonController/killProcess(): could not kill pid " +
                                std::to_string(pid),
                            0);
}

// Walks the list for a daemon of this installation serving `name`; entries
// of other programs or installations are left alone. Entries whose process
// has ended, of any name, are cleared on the way (the last one of `name`
// goes to `deadPid`). Returns the daemon's pid; else the holder of the
// installation's lock (`holder`, as lockHolder() checks it), which is this
// installation's service whatever file it was started from; else 0.
pid_t FindOwnDaemon(SharedPIDList& list, const std::string& name, int* deadPid = nullptr,
                    pid_t holder = 0)
{
    pid_t found = 0;
    for (int i = 0; i < SharedPIDList::NUM_ENTRIES; ++i) {
        SharedPIDList::PIDEntry entry = list.getEntry(i);
        if (entry.pid == 0 || entry.pid == holder)
            continue;
        servicectl::DaemonState state = servicectl::CheckDaemon(entry.pid);
        if (state == servicectl::DaemonState::Dead) {
            list.remove(entry.pid);
            if (deadPid != nullptr && entry.hasName(name))
                *deadPid = entry.pid;
        } else if (state == servicectl::DaemonState::Ours && entry.hasName(name) && found == 0) {
            found = entry.pid;
        }
    }
    return holder > 0 ? holder : found;
}

// True when the held process is the one to stop: a daemon of this
// executable and installation, or the holder of the installation's lock.
bool IsOurs(const servicectl::ProcessHandle& daemon, pid_t holder)
{
    if (servicectl::CheckDaemon(daemon) == servicectl::DaemonState::Ours)
        return true;
    return daemon.pid() == holder && servicectl::CompareTarvel(holder) == 1 && !daemon.Ended();
}

std::string AlreadyStarted(const char* place, pid_t pid)
{
    return std::string("CDaemonController::") + place + "(): Service already started (pid " +
           (pid > 0 ? std::to_string(pid) : std::string("unknown")) + ")";
}

// The service's entry in the PID list for as long as it runs (as a daemon or
// in the foreground).
class DaemonEntry {
public:
    DaemonEntry(pid_t pid, const std::string& name) : mPid(pid) { SharedPIDList().add(pid, name); }
    ~DaemonEntry()
    {
        try {
            SharedPIDList(SharedPIDList::Access::Existing).remove(mPid);
        } catch (std::exception& e) {
            KXLogWrite(CLog::_pKXLog, "CDaemonController::startService(): %s", e.what());
        }
    }
    DaemonEntry(const DaemonEntry&) = delete;
    DaemonEntry& operator=(const DaemonEntry&) = delete;

private:
    pid_t mPid;
};

}  // namespace

bool isDaemonPIDAlive(int pid)
{
    return servicectl::CheckDaemon(pid) == servicectl::DaemonState::Ours;
}

CDaemonController::CDaemonController() = default;

CDaemonController::~CDaemonController() = default;

void CDaemonController::registerService(IService* service)
{
    TARVEL_ASSERT(service != nullptr);
    const std::string& name = service->getName();
    if (mDaemons.count(name) != 0)
        throw CServiceException("CDaemonController::registerService(): Service already registered",
                                0);
    CDaemon* daemon = dynamic_cast<CDaemon*>(service);
    if (daemon == nullptr)
        throw CServiceException(
            "CDaemonController::registerService(): Attempt to register an invalid service object",
            0);
    registerServiceName(name);
    mDaemons[name] = daemon;
}

CDaemon* CDaemonController::getDaemonByName(const std::string& name)
{
    auto it = mDaemons.find(name);
    return it == mDaemons.end() ? nullptr : it->second;
}

IService* CDaemonController::getService(const std::string& name) const
{
    CDaemon* daemon = getDaemonByName(name);
    if (daemon == nullptr)
        throw CServiceException("CDaemonController::getService(): no such service '" + name + "'",
                                0);
    return daemon;
}

int CDaemonController::startService(const std::string& name, const std::vector<std::string>& args)
{
    {
        // The daemon makes the list when it adds itself.
        SharedPIDList list(SharedPIDList::Access::Existing);
        pid_t running = FindOwnDaemon(list, name, nullptr, lockHolder());
        if (running != 0)
            throw CServiceException(AlreadyStarted("startService", running), 0);
    }

    CDaemon* daemon = getDaemonByName(name);
    if (daemon == nullptr)
        throw CServiceException("No such service: " + name, 0);

    servicectl::StartChannel channel;
    // Buffered output would otherwise be written twice, once by each process.
    std::cout.flush();
    std::cerr.flush();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw CServiceException("CDaemonController::startService(): Failed to start service", 0);
    if (pid > 0)
        return awaitDaemon(channel, pid, name);

    channel.becomeReporter();
    servicectl::DetachDaemon(daemon->getOutputFile());
    daemon->setPid(getpid());
    daemon->addReadyHook(
        [daemon] { servicectl::ReportStartReady(daemon->readyLine(), daemon->readyComplete()); });
    daemon->prepareDetached();
    // Taken by the daemon itself, so that the kernel names it as the holder;
    // two starts at once both get here, and the second one fails.
    servicectl::InstallationLock lock(mRunDir);
    takeLock(lock, "startService");
    int result;
    {
        // A daemon that fails leaves no entry behind: the guard removes it
        // also while the failure unwinds to the program's handler.
        DaemonEntry entry(daemon->getPid(), daemon->getName());
        servicectl::ForgetDaemonFailure(mRunDir, name);
        result = daemon->run(args);
    }
    servicectl::RecordDaemonFailure(mRunDir, name, result);
    exit(result);
}

void CDaemonController::takeLock(servicectl::InstallationLock& lock, const char* place) const
{
    if (mRunDir.empty())
        return;
    pid_t holder = lock.acquire();
    if (holder != 0)
        throw CServiceException(AlreadyStarted(place, holder), 0);
}

pid_t CDaemonController::lockHolder() const
{
    if (mRunDir.empty())
        return 0;
    pid_t holder = servicectl::InstallationLock(mRunDir).holder();
    // The lock file lies in a directory of the service's user; its holder
    // must still serve this installation to count.
    return holder > 0 && servicectl::CompareTarvel(holder) == 1 ? holder : 0;
}

int CDaemonController::awaitDaemon(servicectl::StartChannel& channel, pid_t pid,
                                   const std::string& name)
{
    servicectl::StartOutcome outcome = channel.awaitReport(pid, mStartReportLimit);
    if (outcome.kind == servicectl::StartOutcome::READY ||
        outcome.kind == servicectl::StartOutcome::PARTLY) {
        // Up, and running on even when not all of it works: the summary says so.
        if (!outcome.text.empty())
            std::cout << outcome.text << "\n" << std::flush;
        if (outcome.kind == servicectl::StartOutcome::PARTLY)
            setExitStatus(1);
        return pid;
    }

    // The daemon is gone; so must its entry be, whatever ended it.
    SharedPIDList(SharedPIDList::Access::Existing).remove(pid);
    std::string daemonName = "Daemon '" + name + "' [" + std::to_string(pid) + "]";
    switch (outcome.kind) {
    case servicectl::StartOutcome::REPORTED:
        // The daemon logged the line itself; the operator sees it here.
        std::cerr << outcome.text << "\n" << std::flush;
        setExitStatus(1);
        return pid;
    case servicectl::StartOutcome::TIMED_OUT:
        throw CServiceException("CDaemonController::startService(): " + daemonName +
                                    " was not ready within " +
                                    std::to_string(mStartReportLimit.count()) +
                                    " s and was stopped",
                                0);
    default:
        throw CServiceException("CDaemonController::startService(): " + daemonName +
                                    " ended before it was ready (" + outcome.text + ")",
                                0);
    }
}

int CDaemonController::restartService(const std::string& name,
                                      const std::vector<std::string>& args)
{
    // Nothing to stop is no failure: restart then means start.
    bool running;
    {
        SharedPIDList list(SharedPIDList::Access::Existing);
        running = FindOwnDaemon(list, name, nullptr, lockHolder()) != 0;
    }
    if (running)
        stopService(name);
    return startService(name, args);
}

void CDaemonController::stopService(const std::string& name)
{
    SharedPIDList list(SharedPIDList::Access::Existing);
    int deadPid = 0;
    pid_t holder = lockHolder();
    pid_t pid = FindOwnDaemon(list, name, &deadPid, holder);
    if (pid != 0) {
        // Held from here on: checked once more through the handle, so that
        // the signals reach the process that passed the check and no other,
        // even if its id has gone to another process since (then ours ended).
        servicectl::ProcessHandle daemon(pid);
        bool killed = IsOurs(daemon, holder) && !KillProcess(daemon, mStopLimit);
        list.remove(pid);
        reportStop(name, pid, killed);
        return;
    }
    if (deadPid != 0)
        throw CNothingToStop("CDaemonController::stopService(): Daemon '" + name + "' [" +
                                 std::to_string(deadPid) + "] is not running",
                             0);
    throw CNothingToStop(
        "CDaemonController::stopService(): Could not find daemon pid for service " + name, 0);
}

void CDaemonController::reportStop(const std::string& name, pid_t pid, bool killed)
{
    // The daemon is gone either way; the operator learns that its stop did
    // not do all it should, and the exit status says so.
    std::string daemon = "Daemon '" + name + "' [" + std::to_string(pid) + "]";
    int failed = servicectl::TakeDaemonFailure(mRunDir, name);
    if (killed)
        std::cerr << "CDaemonController::stopService(): " << daemon << " did not stop within "
                  << mStopLimit.count() << " s and was killed; what it started may still run\n";
    else if (failed != 0)
        std::cerr << "CDaemonController::stopService(): " << daemon << " stopped with status "
                  << failed << "; its log says why\n";
    if (killed || failed != 0) {
        std::cerr << std::flush;
        setExitStatus(1);
    }
}

int CDaemonController::startServiceConsole(const std::string& name,
                                           const std::vector<std::string>& args)
{
    CDaemon* daemon = getDaemonByName(name);
    if (daemon == nullptr)
        throw CServiceException(
            "CDaemonController::startServiceConsole(): Attempt to start an unknown service", 0);
    // What the caller left open stays the caller's: no server inherits it.
    servicectl::ShutDescriptorsOnExec();
    // Without an installation to guard, a foreground run is just that.
    if (mRunDir.empty())
        return daemon->run(args);
    // Found, stopped and refused a second time like a daemon: the lock and
    // the entry stay until the service ends. The lock is taken first: a
    // free lock needs no look at the kernel's table of locks, whose reading
    // waits for an RCU grace period (some 10 ms) on every start.
    servicectl::InstallationLock lock(mRunDir);
    takeLock(lock, "startServiceConsole");
    {
        SharedPIDList list(SharedPIDList::Access::Existing);
        pid_t running = FindOwnDaemon(list, name, nullptr);
        if (running != 0)
            throw CServiceException(AlreadyStarted("startServiceConsole", running), 0);
    }
    daemon->setPid(getpid());
    DaemonEntry entry(daemon->getPid(), daemon->getName());
    return daemon->run(args);
}

void CDaemonController::runService(const std::string& name)
{
    std::vector<std::string> args{name};
    if (mArguments.size() >= 4)
        args.insert(args.end(), mArguments.begin() + 3, mArguments.end());
    startService(name, args);
}

std::string CDaemonController::getStatus() const
{
    int exitStatus;
    return readStatus(exitStatus);
}

int CDaemonController::showStatus()
{
    int exitStatus;
    std::cout << readStatus(exitStatus) << std::flush;
    return exitStatus;
}

std::string CDaemonController::readStatus(int& exitStatus) const
{
    // Read only: a status query neither creates the list nor changes it.
    SharedPIDList list(SharedPIDList::Access::ReadOnly);
    std::vector<SharedPIDList::PIDEntry> entries = list.getEntries();
    pid_t holder = lockHolder();
    exitStatus = kStatusNotRunning;
    if (entries.empty() && holder == 0)
        return "No services running.\n";
    bool dead = false, unverified = false, ours = false;
    std::string text = "Running services:\n";
    // The installation's service runs even when the list does not show it
    // (started from a file at another path, or a list it could not join).
    bool listed = false;
    for (const SharedPIDList::PIDEntry& entry : entries)
        listed = listed || entry.pid == holder;
    if (holder > 0 && !listed && !mServiceNames.empty()) {
        text += "[" + std::to_string(holder) + "] " + mServiceNames.front() + " \n";
        ours = true;
    }
    for (const SharedPIDList::PIDEntry& entry : entries) {
        text += "[" + std::to_string(entry.pid) + "] " + servicectl::EscapeName(entry.name()) + " ";
        servicectl::DaemonState state = servicectl::CheckDaemon(entry.pid);
        if (entry.pid == holder)
            state = servicectl::DaemonState::Ours;
        switch (state) {
        case servicectl::DaemonState::Ours:
            ours = true;
            break;
        case servicectl::DaemonState::Dead:
            dead = true;
            text += "(dead)";
            break;
        case servicectl::DaemonState::Unverified:
            unverified = true;
            text += "(foreign)";
            break;
        case servicectl::DaemonState::Foreign:
            text += "(foreign)";
            break;
        }
        text += "\n";
    }
    exitStatus = ours         ? kStatusRunning
                 : unverified ? kStatusUnknown
                 : dead       ? kStatusDead
                              : kStatusNotRunning;
    return text;
}

void CDaemonController::installServices()
{
    std::cerr << "Function not implemented\n" << std::flush;
    KXLogWrite(CLog::_pKXLog, "CDaemonController::installServices(): function not implemented");
    setExitStatus(1);
}

void CDaemonController::uninstallServices()
{
    std::cerr << "Function not implemented\n" << std::flush;
    KXLogWrite(CLog::_pKXLog, "CDaemonController::uninstallServices(): function not implemented");
    setExitStatus(1);
}

void CDaemonController::run(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i)
        mArguments.emplace_back(argv[i]);
    CServiceControllerBase::run(argc, argv);
}

void CDaemonController::run(CCmdLine& commandLine)
{
    std::vector<std::string> extra = commandLine.getExtraOptions();
    mArguments.insert(mArguments.end(), extra.begin(), extra.end());
    CServiceControllerBase::run(commandLine);
}
