// The controller's side of the service's control channel: one request line
// to the Unix socket, the reply's lines back to the caller.
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "foundation/StopTimes.h"

enum ControlExit { CONTROL_OK = 0, CONTROL_FAILED = 1, CONTROL_NOT_RUNNING = 3 };

// The longest the client waits for the next line of a reply. The service
// writes a line at least after every server it stopped or restarted, and
// one server's stop and start again fit in this.
constexpr std::chrono::seconds kControlReplyTimeout = stoptimes::kReplyLimit;
// The longest the client waits for the service to take the connection: a
// stopped service (SIGSTOP) with a full backlog never does.
constexpr std::chrono::seconds kControlConnectTimeout{5};

// How long the client waits, and what it says meanwhile.
struct ControlWaits {
    std::chrono::milliseconds connect = kControlConnectTimeout;
    std::chrono::milliseconds reply = kControlReplyTimeout;
    // When set, called every `progressEvery` while the reply is awaited,
    // with the time waited since the request was sent.
    std::function<void(std::chrono::seconds waited)> progress;
    std::chrono::milliseconds progressEvery = std::chrono::seconds(5);
};

// Sends `request` to the socket at `path` and writes every line of the reply
// but the last to `out`. Returns CONTROL_OK for a final "OK"; CONTROL_FAILED
// for a final "ERROR <text>" (the text goes to `err`) or a failed exchange
// (what failed and why goes to `err`), also when the service does not take
// the connection within waits.connect; CONTROL_NOT_RUNNING, with
// "No services running." on `err`, when no service serves the socket.
int SendControlRequest(const std::string& path, const std::string& request, std::ostream& out,
                       std::ostream& err, const ControlWaits& waits);
// The same with the default waits but for the reply's.
int SendControlRequest(const std::string& path, const std::string& request, std::ostream& out,
                       std::ostream& err,
                       std::chrono::milliseconds replyTimeout = kControlReplyTimeout);
