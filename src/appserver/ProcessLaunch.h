// How a server's process is made: fork, then in the child its output file,
// the death signal that ties it to the service, default signals and execv.
#pragma once

#include <sys/types.h>

#include <string>

// Starts `command` (words split at blanks, at most 15) with its standard
// output and error in `outputFile` (empty: inherited). Returns the child's
// pid, or -1 with errno when fork failed. A failing exec is logged by the
// child, which then exits 1.
pid_t LaunchProcess(const std::string& command, const std::string& outputFile);
