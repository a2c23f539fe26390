// Starting a daemon that tells the truth. The forked child leaves the
// caller's session and terminal and sends its output to a file; once it is
// up, or has failed, it says so over a channel to the starting process,
// which waits for that report (bounded) and exits with the daemon's outcome.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace servicectl {

// How long the starting process waits for the daemon's report.
constexpr std::chrono::seconds kStartReportLimit(30);

struct StartOutcome {
    enum Kind {
        READY,      // the daemon is up (text: its summary, may be empty)
        PARTLY,     // the daemon is up, but not all it runs works (text: its summary)
        REPORTED,   // the daemon failed and reported its own error line (text)
        ENDED,      // the daemon ended without a report; text: "exit status 1", "signal 9"
        TIMED_OUT,  // no report within the limit; the daemon was ended
    };
    Kind kind = ENDED;
    std::string text;
};

// The report channel between the starting process and the daemon child: a
// stream socket pair, so that a report to a starting process that is gone
// fails quietly instead of raising SIGPIPE. Both ends are close-on-exec: no
// server inherits them.
class StartChannel {
public:
    // Throws CServiceException with the OS reason when it cannot be made.
    StartChannel();
    // Closes the ends this process still holds.
    ~StartChannel();
    StartChannel(const StartChannel&) = delete;
    StartChannel& operator=(const StartChannel&) = delete;

    // In the daemon child: the writing end becomes this process's report
    // channel (see ReportStartReady, ReportStartFailure).
    void becomeReporter();
    // In the starting process: waits up to `limit` for the report of `child`
    // (our own child, not yet reaped). Reaps the child unless it is READY;
    // one that says nothing in time is ended (SIGTERM, SIGKILL 5 s later).
    StartOutcome awaitReport(pid_t child, std::chrono::seconds limit);

private:
    int mRead = -1;
    int mWrite = -1;
};

// In the daemon child: a session of its own, standard input from /dev/null,
// the log file checked writable (CLog::checkWritable), then standard output
// and error appended to `outputFile` (foundation::OpenOutputFile), and every
// other descriptor closed but the report channel: whatever the caller left
// open (a pipe a shell waits on) must not be held by the daemon or its servers.
// Throws with the reason on failure; output then goes to /dev/null, never to
// the caller's terminal.
void DetachDaemon(const std::string& outputFile);

// The daemon's reports; the first one closes the channel. Both do nothing in
// a process without a channel (a foreground run) or after the first report.
// `summary` is the line the starting process prints; `complete` false
// makes it exit 1 although the daemon runs on.
void ReportStartReady(const std::string& summary = std::string(), bool complete = true);
// Closes every descriptor from 3 up except those in `keep`.
void CloseDescriptorsExcept(std::vector<int> keep);
// Marks every descriptor from 3 up close-on-exec, so that children started
// later inherit none of them; the process itself keeps them.
void ShutDescriptorsOnExec();
void ReportStartFailure(const std::string& line);

}  // namespace servicectl
