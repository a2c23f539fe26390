#include "service/SignalSource.h"

#include "servicectl/Signals.h"

void CSignalSource::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    // The service's own look at its stop flag reads the descriptor too: a
    // SIGHUP it read must not wait for the next event.
    if (servicectl::TakeReloadRequest())
        mReloadDue = true;
    if (mReloadDue)
        deadline = Clock::now();
    fds.push_back({servicectl::SignalDescriptor(), POLLIN, 0});
}

void CSignalSource::dispatch(struct pollfd* fds, size_t count, Clock::time_point)
{
    if (count > 0 && fds[0].revents != 0)
        servicectl::ReadSignals();
    if (servicectl::TakeReloadRequest())
        mReloadDue = true;
    if (mReloadDue) {
        mReloadDue = false;
        mReload();
    }
}
