// How a daemon's own run ended, for the -stop that ended it: the daemon is
// not the stopping controller's child, so its exit status would be lost. A
// daemon whose run failed leaves "<name>.failed" in its run directory with
// the status; -stop takes it and says so.
#pragma once

#include <string>

namespace servicectl {

// Records that `name`'s run ended with `status` (not 0) in `runDir`; a file
// that cannot be written is left out: -stop then knows no more than before.
void RecordDaemonFailure(const std::string& runDir, const std::string& name, int status);
// Forgets what an earlier daemon of `name` recorded (at a new daemon's start).
void ForgetDaemonFailure(const std::string& runDir, const std::string& name);
// The status an ended daemon of `name` recorded, and forgets it; 0 when it
// recorded none.
int TakeDaemonFailure(const std::string& runDir, const std::string& name);

}  // namespace servicectl
