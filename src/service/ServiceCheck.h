// -check: the verdict on this host's servers in the form monitoring systems
// (Nagios, Icinga and the other users of the monitoring-plugins guidelines)
// read from a plugin: one line "TARVEL <STATUS> - <text> | <perfdata>" and
// the status as exit code.
#pragma once

#include <string>
#include <vector>

#include "service/ServersReply.h"

enum CheckStatus { CHECK_OK = 0, CHECK_WARNING = 1, CHECK_CRITICAL = 2, CHECK_UNKNOWN = 3 };

struct CheckVerdict {
    CheckStatus status = CHECK_UNKNOWN;
    std::string line;  // ends with '\n'
};

// The verdict on the servers of `rows`: CRITICAL when a pool (all the
// servers when the rows name none) has servers here and none of them
// serves, whatever the reason; WARNING when a server does not serve, is
// throttled or does not answer, unless the operator stopped it; OK else.
CheckVerdict JudgeServers(const std::vector<ReportedServer>& rows);

// The verdict when no judgement is possible: `status` with `text`.
CheckVerdict CheckFailed(CheckStatus status, const std::string& text);
