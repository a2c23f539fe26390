// The descriptor on which the supervision loop hears that a child ended:
// SIGCHLD, blocked in the threads of the loop's process, stays pending on a
// signalfd of its own until the loop reads it. Children that end between
// two waits are seen by the next one, and no handler ever runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

// The non-blocking, close-on-exec signalfd of SIGCHLD, made by the first
// call (which also blocks SIGCHLD in the calling thread and sets SIGCHLD to
// its default action without stop reports). Call it before any child and
// any other thread. Throws CWIException naming the call and the OS reason.
int ChildEndDescriptor();

// Reads every SIGCHLD pending on the descriptor, without blocking; returns
// the sender of each, at most `most` of them. The caller then reaps those
// children first; as signals of one kind merge while pending, other ended
// children may have no SIGCHLD of their own and need a look at all of them.
std::vector<pid_t> DrainChildEnds(size_t most = 64);
