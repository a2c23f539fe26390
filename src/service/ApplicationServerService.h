// The one service of tarvelsvc: its run is the supervision loop that keeps
// every configured application server of this host running until the
// service is told to stop, and then stops them, first gently, then hard.
#pragma once

#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "servicectl/Service.h"

class CSystemdNotifier;

class CApplicationServerService : public CDaemon {
public:
    // What the controller lists of the service, also in a usage printed
    // without an installation.
    static constexpr const char* kName = "TARVEL";
    static constexpr const char* kDisplayName = "tarvel Application Server";
    static constexpr const char* kDescription =
        "Controls the local Tarvel application server processes";

    // The manager reads TARVEL at once, so construction throws the
    // environment exception when it is not set.
    CApplicationServerService();
    ~CApplicationServerService() override;

    int run(const std::vector<std::string>& args) override;
    // Service.out in the log directory.
    std::string getOutputFile() override;
    // Detached, each server writes to its own file in the log directory.
    void prepareDetached() override;

    // The program entry gives the manager its address list before the
    // controller runs.
    CAppServerManager& manager() { return mManager; }

private:
    // Starts what is due and waits for events until a stop is asked for.
    void superviseUntilStopped();
    // Called once, when every server serves or has failed or is held back.
    void serversStarted(const struct ServingSummary& summary);

    CAppServerManager mManager;
    // While run supervises: the notifier that hears of the first start.
    CSystemdNotifier* mNotifier = nullptr;
};
