#include "servicectl/Service.h"

#include "foundation/Log.h"
#include "servicectl/SignalQueue.h"

#include <signal.h>

#include <cerrno>
#include <cstring>

CServiceBase::CServiceBase(const std::string& name, const std::string& displayName,
                           const std::string& description)
    : mName(name), mDisplayName(displayName), mDescription(description)
{
}

CServiceBase::~CServiceBase() = default;

int CServiceBase::run(const std::vector<std::string>&)
{
    return 0;
}

std::string CServiceBase::getUsage()
{
    return std::string();
}

void CServiceBase::installSignalHandlers()
{
}

CDaemon::CDaemon(const std::string& name, const std::string& displayName,
                 const std::string& description)
    : CServiceBase(name, displayName, description)
{
}

CDaemon::~CDaemon() = default;

int CDaemon::run(const std::vector<std::string>&)
{
    installSignalHandlers();
    return 0;
}

bool CDaemon::serviceStopped()
{
    logReceivedSignals();
    return servicectl::StopRequested();
}

void CDaemon::logReceivedSignals()
{
    servicectl::DrainReceivedSignals(
        [](int signal) { KXLogWrite(CLog::_pKXLog, "Signal received: %d", signal); });
}

void CDaemon::installSignalHandlers()
{
    struct sigaction killAction;
    memset(&killAction, 0, sizeof killAction);
    // SA_SIGINFO tells a faulting instruction's SIGFPE/SIGILL from one sent.
    killAction.sa_sigaction = servicectl::KillHandler;
    killAction.sa_flags = SA_RESTART | SA_SIGINFO;
    // A full mask keeps every other signal out while the handler runs.
    if (sigfillset(&killAction.sa_mask) != 0) {
        KXLogWrite(CLog::_pKXLog, "Setting temp. signalmask of killAction failed (%s)",
                   strerror(errno));
        return;
    }
    static const int kSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                   SIGINT,  SIGPWR, SIGSEGV, SIGTERM};
    for (int signal : kSignals) {
        if (sigaction(signal, &killAction, nullptr) != 0) {
            KXLogWrite(CLog::_pKXLog, "Error installing signal handler (%s)", strerror(errno));
            return;
        }
    }
}

std::vector<std::string> makeServiceArguments(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i]);
    return args;
}
