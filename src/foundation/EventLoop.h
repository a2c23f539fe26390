// What may plug into the service's one wait besides the signals.
//
// The supervision loop (the manager's, in appserver) blocks in exactly one
// poll(): on the signal descriptor (a child's end, a termination signal), on
// a deadline (the next throttled start, or a restarted throttled server's
// first minute), and on whatever its registered sources add. A source is
// registered with the manager's addSource and taken out with removeSource;
// the manager does not own it. Sources live in the libraries below it (the
// trees here, the doors in endpoints) and in the service. Every wait of the service
// thread, during supervision and during the gentle and the hard stop, goes
// through the same poll, so a source is served for the whole life of the
// service.
//
// On each pass, in registration order:
//   prepare(fds, deadline)  appends the pollfds to watch (events set) and may
//                           lower `deadline` (steady clock; it starts at the
//                           loop's own next deadline or time point::max()).
//   dispatch(fds, count, now)
//                           is called after the wake with the slice it
//                           appended (revents filled, 0 on a time-out) and the
//                           steady time of the wake; also when the wake had
//                           another cause, and with count 0 when it appended
//                           nothing.
// Both run on the service thread, which also owns the server table: a source
// may read the records (CAppServerManager::processes()) without locking. It
// must not block: the loop restarts servers only between passes.
#pragma once

#include <poll.h>
#include <stddef.h>

#include <chrono>
#include <vector>

class LoopSource {
public:
    virtual ~LoopSource() = default;
    // Appends the descriptors to watch this pass; may lower `deadline`.
    virtual void prepare(std::vector<struct pollfd>& fds,
                         std::chrono::steady_clock::time_point& deadline) = 0;
    // After each wake, with the slice of pollfds it appended (revents filled);
    // also called on time-outs (revents 0).
    virtual void dispatch(struct pollfd* fds, size_t count,
                          std::chrono::steady_clock::time_point now) = 0;
};
