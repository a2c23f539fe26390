// The notification socket in the manager's one wait: its datagrams become
// their records' events, and the records' watchdogs are its deadline, so a
// missed WATCHDOG=1 wakes the wait once and nothing wakes it without one.
#pragma once

#include <string>

#include "appserver/AppServerManager.h"
#include "endpoints/NotifySocket.h"

class NotifyPlug : public LoopSource {
public:
    // Binds the socket at `path` (throws as NotifySocket does) and tells the
    // manager its path; plug it in with addSource.
    NotifyPlug(CAppServerManager& manager, const std::string& path);
    ~NotifyPlug() override;
    NotifyPlug(const NotifyPlug&) = delete;
    NotifyPlug& operator=(const NotifyPlug&) = delete;

    void prepare(std::vector<struct pollfd>& fds,
                 std::chrono::steady_clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count,
                  std::chrono::steady_clock::time_point now) override;

    const NotifySocket& socket() const { return mSocket; }

private:
    CAppServerManager& mManager;
    NotifySocket mSocket;
};
