// The status page of the running service, as the metrics endpoint serves it
// at "/": the table's servers grouped by pool, and the service itself.
#pragma once

#include <time.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "appserver/ServerStatus.h"

// Returns the page of `servers` (grouped by pool) at wall time `now`.
std::string ServiceStatusPageText(const std::vector<ServerStatus>& servers, time_t now);

// A text rendered at most once per `maxAge`. The page reloads itself every
// 5 s in every browser that shows it: however many there are, the service
// loop renders it about once a second and answers the others from here,
// so that readers cannot delay the supervision of the servers.
class CRenderCache {
public:
    using Clock = std::chrono::steady_clock;

    explicit CRenderCache(std::function<std::string()> render,
                          Clock::duration maxAge = std::chrono::seconds(1));
    // Returns the text rendered within maxAge before `now`, rendered anew
    // when it is older; valid until the next call.
    const std::string& text(Clock::time_point now);

private:
    std::function<std::string()> mRender;
    Clock::duration mMaxAge;
    Clock::time_point mRendered{};
    bool mValid = false;
    std::string mText;
};
