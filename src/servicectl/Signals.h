// The one home of the service's signals: which ones every thread blocks, the
// descriptor they are read from, the handler of the fault signals, and the
// process-wide stop flag.
//
// SIGCHLD, SIGHUP (a reload, as for most daemons) and the termination
// signals SIGTERM, SIGINT, SIGABRT and SIGPWR are blocked in every thread, so
// no handler ever runs for them: they stay pending until the service thread
// reads them. SIGCHLD is the supervision loop's own (ChildEnds.h);
// the others are read from one signalfd, which the service plugs into the
// loop's only wait as a source. A signal that arrives at any moment, also
// between two waits, stays pending on its descriptor until it is read: none
// is lost, and no wait misses it.
//
// SIGSEGV, SIGBUS, SIGFPE and SIGILL cannot be blocked (the kernel kills a
// process whose fault signal is blocked), so they keep an async-signal-safe
// handler. A fault ends the process at once with status 1. A SIGFPE or SIGILL
// sent with kill() is a stop request like SIGTERM: the handler forwards it as
// a queued real-time signal that carries its number and is read from the same
// descriptor.
#pragma once

#include <signal.h>

namespace servicectl {

// Sets up the service's signals: the handler for the eight handled signals,
// the watched signals and SIGCHLD blocked in the calling thread (threads
// created afterwards inherit the mask), and the descriptor. The first call does all of it; later calls only
// block the watched signals in the calling thread. Call it on the service
// thread before any other thread or child is created. Throws CWIException
// naming the call that failed and the OS reason.
void WatchSignals();

// The non-blocking, close-on-exec signalfd of the watched signals (SIGCHLD is
// not one of them); -1 before the first WatchSignals.
int SignalDescriptor();

// Reads every signal pending on the descriptor, without blocking. Each
// termination signal is logged as "Signal received: <n>" and sets the stop
// flag; SIGHUP is logged and asks for a reload (TakeReloadRequest). Service
// thread only: the log lines must not be written from a handler.
void ReadSignals();

// True once after a SIGHUP was read: the service reloads its configuration.
bool TakeReloadRequest();

// True once any termination signal was read; never reset.
bool StopRequested();

// The handler installed by WatchSignals (with SA_SIGINFO) for SIGABRT, SIGBUS,
// SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV and SIGTERM.
void SignalHandler(int signal, siginfo_t* info, void* context);

}  // namespace servicectl
