// What the service shows of a server's record, each view in one place: the
// control channel's status line, the metrics' series and the one-line
// serving summary, and the one decoder of a wait status they share.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"
#include "appserver/ServerStatus.h"
#include "appserver/ServingSummary.h"
#include "endpoints/Metrics.h"

// A raw wait status of an ended process, decoded once.
struct WaitEnd {
    bool exited = false;  // it called exit(): `code` is its status
    int code = 0;         // exit status; 0 when a signal ended it
    int signal = 0;       // the signal that ended it; 0 when it exited
    bool core = false;    // it dumped core

    explicit WaitEnd(int waitStatus);
    // True for a non-zero exit, an end by a signal, or a core dump.
    bool failed() const { return (exited && code != 0) || signal != 0 || core; }
    // "exit N" or "signal N".
    std::string describe() const;
};

// "exit N" or "signal N" for a raw wait status.
inline std::string DescribeEnd(int waitStatus)
{
    return WaitEnd(waitStatus).describe();
}

// What the control channel shows of `record` at wall time `now`.
ServerStatus StatusOf(const AppServerProcess& record, time_t now);

// What the metrics say of `record` now.
ServerMetrics MetricsOf(const AppServerProcess& record);

// The summary of `records`; at most 10 of those that do not serve are named.
ServingSummary SummarizeServing(const std::vector<AppServerProcess>& records);
