#include "servicectl/Service.h"

#include "foundation/Log.h"
#include "servicectl/Signals.h"

#include <exception>
#include <utility>

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
    servicectl::ReadSignals();
    return servicectl::StopRequested();
}

void CDaemon::serviceReady()
{
    if (mReady)
        return;
    mReady = true;
    for (const auto& hook : mReadyHooks)
        hook();
}

void CDaemon::addReadyHook(std::function<void()> hook)
{
    mReadyHooks.push_back(std::move(hook));
}

void CDaemon::setReadyReport(const std::string& line, bool complete)
{
    mReadyLine = line;
    mReadyComplete = complete;
}

std::string CDaemon::getOutputFile()
{
    return "/dev/null";
}

void CDaemon::prepareDetached()
{
}

void CDaemon::logReceivedSignals()
{
    servicectl::ReadSignals();
}

void CDaemon::installSignalHandlers()
{
    try {
        servicectl::WatchSignals();
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "%s", e.what());
    }
}

std::vector<std::string> makeServiceArguments(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.emplace_back(argv[i]);
    return args;
}
