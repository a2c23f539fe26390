// The metrics endpoint's life in the running service: it listens where
// METRICS_LISTEN says and is one more source of the manager's one wait.
// A new address is bound before the old endpoint closes, so that a reload
// to an address that cannot be bound leaves the old one serving.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "endpoints/MetricsEndpoint.h"
#include "foundation/HostPort.h"

class CMetricsPlug {
public:
    // The endpoint serves `pages`; the manager must outlive this.
    CMetricsPlug(CAppServerManager& manager, std::vector<CMetricsEndpoint::Page> pages);
    // Takes the endpoint out of the wait and closes it.
    ~CMetricsPlug();
    CMetricsPlug(const CMetricsPlug&) = delete;
    CMetricsPlug& operator=(const CMetricsPlug&) = delete;

    // Listens on `address`, or stops listening when it is not set; nothing
    // happens when it listens there already. Returns false with the reason
    // (naming the address and the OS reason) when the new address cannot be
    // bound: the old endpoint then keeps serving.
    bool listen(const ListenAddress& address, std::string& reason);

private:
    CAppServerManager& mManager;
    std::vector<CMetricsEndpoint::Page> mPages;
    std::unique_ptr<CMetricsEndpoint> mEndpoint;
    ListenAddress mListen;  // where mEndpoint listens
};
