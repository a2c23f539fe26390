// Whether a pid read from the shared PID list is a daemon of this
// installation. The list is untrusted and pids are reused, so an entry is
// ours only when its process is alive, runs this very executable and serves
// this installation; no other process is ever signalled.
#pragma once

#include <sys/types.h>

#include <string>

#include "servicectl/ProcessState.h"

namespace servicectl {

enum class DaemonState {
    Dead,        // no such process, or it ended (zombie); the entry is stale
    Ours,        // a daemon of this executable serving this installation
    Foreign,     // alive, but another program or another installation
    Unverified,  // alive, but /proc does not tell us (no permission)
};

// Checks the process `pid` against the caller: alive (not a zombie), its
// /proc/<pid>/exe equal to ours (the " (deleted)" form that a replaced
// executable leaves counts as the same), and its TARVEL, read from
// /proc/<pid>/environ, equal to ours (both unset counts as equal).
DaemonState CheckDaemon(pid_t pid);
// The same for the process held by `process`: when it ends while /proc is
// read (and its id may have gone to another process), it counts as Dead.
DaemonState CheckDaemon(const ProcessHandle& process);

// Whether the process `pid` serves this installation: 1 when its TARVEL
// (from /proc/<pid>/environ) equals ours (both unset counts as equal), 0 when
// it differs, -1 when it cannot be read.
int CompareTarvel(pid_t pid);

// The TARVEL value in /proc/<pid>/environ. Returns 1 and sets `value` when
// it is there, 0 when the environment has no TARVEL, -1 when it cannot be
// read (or is larger than a sane environment). The first entry wins, as for
// getenv().
int ReadProcessTarvel(pid_t pid, std::string& value);

// A link text without the " (deleted)" that /proc appends to the path of
// an executable that was removed or replaced while running.
std::string WithoutDeletedSuffix(const std::string& path);

// `name` with each byte that is a control character (below 0x20, 0x7f) or
// not ASCII, and the backslash, written as \xNN: names from the list must
// not drive the operator's terminal.
std::string EscapeName(const std::string& name);

}  // namespace servicectl
