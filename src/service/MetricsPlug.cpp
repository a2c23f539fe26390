#include "service/MetricsPlug.h"

#include <exception>
#include <utility>

#include "foundation/Log.h"

CMetricsPlug::CMetricsPlug(CAppServerManager& manager, std::vector<CMetricsEndpoint::Page> pages)
    : mManager(manager), mPages(std::move(pages))
{
}

CMetricsPlug::~CMetricsPlug()
{
    if (mEndpoint)
        mManager.removeSource(mEndpoint.get());
}

bool CMetricsPlug::listen(const ListenAddress& address, std::string& reason)
{
    if (address == mListen)
        return true;
    std::unique_ptr<CMetricsEndpoint> fresh;
    if (address.set()) {
        try {
            fresh = std::make_unique<CMetricsEndpoint>(address, mPages);
        } catch (std::exception& e) {
            reason = e.what();
            return false;
        }
    }
    if (mEndpoint)
        mManager.removeSource(mEndpoint.get());
    mEndpoint = std::move(fresh);
    mListen = address;
    if (mEndpoint) {
        mManager.addSource(mEndpoint.get());
        KXLogWrite(CLog::_pKXLog, "Metrics endpoint: listening on %s", address.text().c_str());
    }
    return true;
}
