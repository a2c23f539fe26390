// A stand-in service for the controller tests, driven by environment
// variables so that its argument vector stays what the controller passes:
//   FAKE_LOG          log file (standard error otherwise)
//   FAKE_ARGS         file that receives run's arguments, one per line
//   FAKE_STOP_MS      how long the stop takes once the stop flag is seen
//   FAKE_EXIT         run's return value
//   FAKE_FAIL         run throws before its loop
//   FAKE_IGNORE_TERM  SIGTERM is ignored after the handlers are installed
//   FAKE_RUN_DIR      directory of the installation's lock (none otherwise)
//   FAKE_TRAP         run executes an illegal instruction once it runs, before
//                     it reports that it is up
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "servicectl/DaemonController.h"
#include "servicectl/DaemonStart.h"
#include "servicectl/Service.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

extern "C" int __real_kill(pid_t pid, int signal);

// Linked with --wrap=kill: the framework must never signal a process group.
extern "C" int __wrap_kill(pid_t pid, int signal)
{
    if (pid <= 0) {
        static const char message[] = "fake_service: refused kill() of a process group\n";
        ssize_t ignored = write(STDERR_FILENO, message, sizeof message - 1);
        (void)ignored;
        _exit(99);
    }
    return __real_kill(pid, signal);
}

namespace {

int EnvInt(const char* name, int fallback)
{
    const char* value = getenv(name);
    return value && *value ? atoi(value) : fallback;
}

void SleepMs(int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

class FakeService : public CDaemon {
public:
    explicit FakeService(const std::string& name = "FakeSvc")
        : CDaemon(name, "Fake service", "Stands in for the real service")
    {
    }

    int run(const std::vector<std::string>& args) override
    {
        if (CDaemon::run(args) != 0)
            throw CException("CService::run() failed");
        if (const char* path = getenv("FAKE_ARGS")) {
            std::ofstream out(path, std::ios::trunc);
            for (const auto& arg : args)
                out << arg << "\n";
        }
        if (getenv("FAKE_FAIL"))
            throw CServiceException("FakeService::run(): failing on purpose", 0);
        if (getenv("FAKE_IGNORE_TERM")) {
            // Blocked, a SIGTERM would still wait to be read: unblock it too.
            signal(SIGTERM, SIG_IGN);
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            sigprocmask(SIG_UNBLOCK, &term, nullptr);
        }
        KXLogWrite(CLog::_pKXLog, "FAKE service runs as %d", static_cast<int>(getPid()));
        if (getenv("FAKE_TRAP"))
            __builtin_trap();
        serviceReady();
        while (!serviceStopped()) {
            struct timespec pause = {0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        KXLogWrite(CLog::_pKXLog, "FAKE service stopping");
        SleepMs(EnvInt("FAKE_STOP_MS", 0));
        logReceivedSignals();
        KXLogWrite(CLog::_pKXLog, "FAKE service stops");
        return EnvInt("FAKE_EXIT", 0);
    }
};

class OtherService : public FakeService {
public:
    OtherService() : FakeService("OtherSvc") {}
    std::string getUsage() override { return "\t-x : an option of OtherSvc"; }
};

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (const char* log = getenv("FAKE_LOG"))
            CLog::setFileName(log);
        FakeService fake;
        OtherService other;
        CDaemonController controller;
        controller.setEntryOptions({"-debug", "-l"});
        controller.registerService(&fake);
        controller.registerService(&other);
        if (const char* runDir = getenv("FAKE_RUN_DIR"))
            controller.setInstallationLock(runDir);
        controller.run(argc, argv);
        return controller.getExitStatus();
    } catch (CNothingToStop& e) {
        KXLogWrite(CLog::_pKXLog, "main(): General exception: %s", e.what());
        fprintf(stderr, "%s\n", e.what());
        return 0;
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "main(): General exception: %s", e.what());
        fprintf(stderr, "%s\n", e.what());
        servicectl::ReportStartFailure(std::string("main(): General exception: ") + e.what());
        return 1;
    } catch (...) {
        KXLogWrite(CLog::_pKXLog, "main(): Unknown exception");
        fprintf(stderr, "Unknown exception\n");
        servicectl::ReportStartFailure("main(): Unknown exception");
        return 1;
    }
}
