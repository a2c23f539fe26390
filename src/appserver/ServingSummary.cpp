#include "appserver/ServingSummary.h"

#include "appserver/ServerStatus.h"

namespace {

const unsigned kNamed = 10;

// Why `record` does not serve, in a few words.
std::string WhyNot(const AppServerProcess& record)
{
    switch (record.mState) {
    case ServerState::Throttled:
        return "throttled after " + std::to_string(record.mFailCount) + " failed starts";
    case ServerState::Held:
        return "stopped by operator";
    default:
        break;
    }
    if (!record.mFailure.empty())
        return "failed: " + record.mFailure;
    return ServerStateName(record.mState);
}

}  // namespace

ServingSummary SummarizeServing(const std::vector<AppServerProcess>& records)
{
    ServingSummary summary;
    std::string named, status;
    unsigned notServing = 0;
    for (const AppServerProcess& record : records) {
        ++summary.total;
        if (record.serving()) {
            ++summary.serving;
            continue;
        }
        bool gaveUp = record.mState == ServerState::Throttled ||
                      record.mState == ServerState::Held || !record.mFailure.empty();
        summary.settled = summary.settled && gaveUp;
        if (++notServing > kNamed)
            continue;
        std::string name = FormatEndpoint(record.mHost, record.mPort);
        named += "; " + name + " " + WhyNot(record);
        status += (status.empty() ? "" : ", ") + name + " (" + ServerStateName(record.mState) + ")";
    }
    if (notServing > kNamed) {
        named += "; and " + std::to_string(notServing - kNamed) + " more";
        status += ", ...";
    }
    summary.line = std::to_string(summary.serving) + " of " + std::to_string(summary.total) +
                   " servers serving" + named;
    if (!summary.allServing())
        summary.line += "; the service keeps trying";
    summary.notServing = status;
    return summary;
}
