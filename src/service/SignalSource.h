// The service's signals as one source of the supervision loop's wait: the
// termination signals set the stop flag the service's loop looks at, and a
// SIGHUP asks for a reload.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "foundation/EventLoop.h"

class CSignalSource : public LoopSource {
public:
    // `reload` runs on the service thread for each SIGHUP read.
    explicit CSignalSource(std::function<void()> reload) : mReload(std::move(reload)) {}

    using Clock = std::chrono::steady_clock;

    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    std::function<void()> mReload;
    bool mReloadDue = false;  // a SIGHUP was read outside this source's dispatch
};
