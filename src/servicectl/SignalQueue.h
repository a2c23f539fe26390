// The termination-signal handler of CDaemon and what it leaves behind: the
// process-wide stop flag and the signals received, recorded without locks
// or allocation so that a signal may land anywhere (inside a log write,
// inside malloc) without harm. The service's own thread writes the log lines.
#pragma once

#include <signal.h>

namespace servicectl {

// The handler installed by CDaemon::installSignalHandlers (with SA_SIGINFO).
// SIGSEGV and SIGBUS end the process at once (exit status 1) after logging
// with async-signal-safe calls only, and so do SIGFPE and SIGILL when the
// kernel raised them for a faulting instruction of this process; every other
// signal is recorded and sets the stop flag.
void KillHandler(int signal, siginfo_t* info, void* context);

// True once any handled signal other than SIGSEGV and SIGBUS arrived; never
// reset.
bool StopRequested();

// Hands every signal recorded since the last call to `emit`, in arrival
// order as far as the fixed queue holds them (signals beyond its capacity
// are still handed over, after the queued ones).
void DrainReceivedSignals(void (*emit)(int signal));

}  // namespace servicectl
