#include "service/ApplicationServerService.h"

#include <unistd.h>

#include "appserver/NotifyPlug.h"
#include "appserver/RecordViews.h"
#include "config/ServiceSettings.h"
#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "service/ControlSwitches.h"
#include "service/MetricsPlug.h"
#include "service/ServerControl.h"
#include "service/ServiceStatusPage.h"
#include "service/SignalSource.h"
#include "service/SystemdNotifier.h"
#include "servicectl/Signals.h"

namespace {

// Plugs sources into the manager's wait for one scope, also when an
// exception leaves it.
class PluggedSources {
public:
    PluggedSources(CAppServerManager& manager, std::initializer_list<LoopSource*> sources)
        : mManager(manager), mSources(sources)
    {
        for (LoopSource* source : mSources)
            mManager.addSource(source);
    }
    ~PluggedSources()
    {
        for (LoopSource* source : mSources)
            mManager.removeSource(source);
    }
    PluggedSources(const PluggedSources&) = delete;
    PluggedSources& operator=(const PluggedSources&) = delete;

private:
    CAppServerManager& mManager;
    std::vector<LoopSource*> mSources;
};

}  // namespace

CApplicationServerService::CApplicationServerService()
    : CDaemon(kName, kDisplayName, kDescription)
{
}

// The manager's destructor sends SIGTERM to every server still marked
// running, so a service left by an exception does not leave servers behind.
CApplicationServerService::~CApplicationServerService() = default;

int CApplicationServerService::run(const std::vector<std::string>& args)
{
    if (CDaemon::run(args) != 0)
        throw CException("CService::run() failed");

    // The servers inherit the working directory: they run in the installation.
    std::string baseDir = CTarvelEnv::baseDir();
    if (chdir(baseDir.c_str()) != 0)
        throw CException("CApplicationServerService::run(): error changing directory to " + baseDir);

    // A settings file that is there must be right: refused with its file,
    // line and reason before any server starts.
    mManager.setSettings(LoadServiceSettings(ServiceSettingsFile()));
    mManager.buildTables();
    mManager.contain();

    // systemd hears of readiness, the servers' counts and the stop; the
    // service's signals and the control channel are more sources of the
    // loop's one wait, in a daemon and under -console alike. All stay
    // plugged in through the stop.
    CSystemdNotifier notifier;
    CServerControl control(mManager, notifier);
    control.open(ControlRunDir());
    CSignalSource signals([&control] { control.reloadOnSignal(); });
    // Always there, as it costs one descriptor and no wake: a reload may
    // turn READINESS=notify or LIVENESS=watchdog on. Only the servers that
    // hear it get its path.
    NotifyPlug notices(mManager, ControlRunDir() + "/" + NotifySocket::kSocketName);
    PluggedSources plugged(mManager, {&signals, &control, &notifier, &notices});
    // The metrics endpoint and the status page, where METRICS_LISTEN says:
    // the service runs on without them when it cannot listen there; a
    // reload moves them.
    CMetricsPlug metrics(mManager, ServicePages(control));
    std::string reason;
    if (!metrics.listen(mManager.settings().metricsListen, reason))
        KXLogWrite(CLog::_pKXLog, "The service runs without its metrics endpoint: %s", reason.c_str());
    control.onMetricsListen(
        [&metrics](const ListenAddress& address, std::string& why) { return metrics.listen(address, why); });
    mNotifier = &notifier;

    superviseUntilStopped();

    notifier.stopping();
    control.shutdown();
    mNotifier = nullptr;
    bool noServerLeft = mManager.stopServers();

    logReceivedSignals();
    if (!noServerLeft)
        return 1;
    KXLogWrite(CLog::_pKXLog, "TARVEL service stops");
    return 0;
}

void CApplicationServerService::superviseUntilStopped()
{
    // Each pass starts what is due and then waits in the manager's one wait
    // until something happens: a server's end, a stop signal, a throttled
    // start coming due, an event of a plugged-in source. With nothing to do
    // the service does not wake at all. A failing pass is logged and the
    // loop goes on: the service must keep supervising whatever else it can.
    // The service is started once every server serves, or has failed or is
    // held back: one that never serves must not keep it from being ready.
    bool started = false;
    // A signal that came during the start is read here; in the loop the
    // signal source reads them in the wait, when the poll flags them.
    bool stop = serviceStopped();
    while (!stop) {
        CatchWIException("CApplicationServerService::run", [this, &started] {
            mManager.startServers();
            if (!started) {
                ServingSummary summary = SummarizeServing(mManager.processes());
                if (summary.settled) {
                    started = true;
                    serversStarted(summary);
                }
            }
            mManager.waitForEvents();
        });
        stop = servicectl::StopRequested();
    }
}

void CApplicationServerService::serversStarted(const ServingSummary& summary)
{
    KXLogWrite(CLog::_pKXLog, "Start: %s", summary.line.c_str());
    setReadyReport(summary.line, summary.allServing());
    serviceReady();
    if (mNotifier != nullptr)
        mNotifier->ready();
}

std::string CApplicationServerService::getOutputFile()
{
    return CTarvelEnv::logDir() + "/Service.out";
}

void CApplicationServerService::prepareDetached()
{
    mManager.setServerOutputDir(CTarvelEnv::logDir());
}
