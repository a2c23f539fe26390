// The reload as the control channel asks for it: the new settings and
// table are loaded and compared with the running one, the manager carries
// the plan out (RollingReload.cpp), and its caller hears each step and the
// summary, with OK or ERROR.
#include "service/ServerControl.h"

#include <stdexcept>

#include "config/ServiceSettings.h"
#include "foundation/Log.h"
#include "service/SystemdNotifier.h"

void CServerControl::handleReload(ClientId client)
{
    if (mManager.reloading()) {
        replyTo(client, "ERROR a reload is in progress\n", true);
        return;
    }
    mNotifier.reloading();
    std::vector<AppServerProcess> table;
    ServiceSettings settings;
    try {
        settings = LoadServiceSettings(ServiceSettingsFile());
        table = mManager.loadTable(true);
        // The new endpoint is bound before the old one closes: one that
        // cannot be bound fails the reload, and the old one keeps serving.
        std::string reason;
        if (settings.metricsListen != mManager.settings().metricsListen && mRelisten &&
            !mRelisten(settings.metricsListen, reason))
            throw std::runtime_error(reason);
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "Reload failed, nothing changed: %s", e.what());
        ++mReloadCounts.failures;
        mNotifier.ready();
        replyTo(client, std::string("ERROR ") + e.what() + "\n", true);
        return;
    }
    if (settings != mManager.settings()) {
        KXLogWrite(CLog::_pKXLog, "Reload: settings of %s applied", ServiceSettingsFile().c_str());
        mManager.setSettings(settings);
    }
    mReloadClient = client;
    mManager.reload(PlanReload(mManager.processes(), table),
                    [this](const std::string& lines, bool done, bool ok) {
                        onReloadLines(lines, done, ok);
                    });
}

void CServerControl::onReloadLines(const std::string& lines, bool done, bool ok)
{
    if (!done) {
        replyTo(mReloadClient, lines, false);
        return;
    }
    ++(ok ? mReloadCounts.reloads : mReloadCounts.failures);
    mNotifier.ready();
    replyTo(mReloadClient,
            lines + (ok ? "OK\n"
                        : "ERROR the rolling restart stopped at a server that does not serve\n"),
            true);
}
