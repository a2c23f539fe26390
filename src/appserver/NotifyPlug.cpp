#include "appserver/NotifyPlug.h"

#include <algorithm>

NotifyPlug::NotifyPlug(CAppServerManager& manager, const std::string& path)
    : mManager(manager),
      mSocket(path, [&manager](pid_t sender) { return manager.serverOfSender(sender); })
{
    mManager.setNotifySocket(&mSocket);
}

NotifyPlug::~NotifyPlug()
{
    mManager.setNotifySocket(nullptr);
}

void NotifyPlug::prepare(std::vector<struct pollfd>& fds,
                         std::chrono::steady_clock::time_point& deadline)
{
    mSocket.prepare(fds, deadline);
    deadline = std::min(deadline, mManager.nextWatchdog());
}

void NotifyPlug::dispatch(struct pollfd* fds, size_t count,
                          std::chrono::steady_clock::time_point now)
{
    mSocket.dispatch(fds, count, now);
    mManager.takeNotices(mSocket.takeEvents(), now);
}
