#include "servicectl/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "baselib/kx_time.h"

namespace {

using Clock = std::chrono::steady_clock;

// How often a full backlog is tried again: a Unix socket does not say when
// it has room.
constexpr int kConnectRetryMs = 10;
// Not a reply yet: go on reading.
constexpr int kNoReply = -1;

class Descriptor {
public:
    explicit Descriptor(int fd) : mFd(fd) {}
    ~Descriptor()
    {
        if (mFd >= 0)
            close(mFd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return mFd; }

private:
    int mFd;
};

long long Seconds(std::chrono::milliseconds span)
{
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(span).count());
}

// Waits until fd is ready for `events` or `deadline` has come; false on time-out.
bool WaitUntil(int fd, short events, Clock::time_point deadline)
{
    pollfd p{fd, events, 0};
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            left = std::chrono::milliseconds(0);
        int n = poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true;  // the following call reports the error
    }
}

// Connects the non-blocking socket `fd` to `address` within `limit`.
// CONTROL_OK when connected; otherwise what the caller returns, with the
// reason on `err`.
int Connect(int fd, const sockaddr_un& address, const std::string& path,
            std::chrono::milliseconds limit, std::ostream& err)
{
    auto deadline = Clock::now() + limit;
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    for (;;) {
        if (connect(fd, raw, sizeof address) == 0)
            return CONTROL_OK;
        int error = errno;
        // A full backlog: the service is slow or stopped. Try again until
        // the limit, never longer.
        if ((error == EAGAIN || error == EINTR) && Clock::now() < deadline) {
            SleepMilliseconds(kConnectRetryMs);
            continue;
        }
        if (error == EINPROGRESS && WaitUntil(fd, POLLOUT, deadline)) {
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
                return CONTROL_OK;
        }
        // No socket, or one that nobody listens on: no service runs.
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
            err << "No services running.\n";
            return CONTROL_NOT_RUNNING;
        }
        if (error == EAGAIN || error == EINTR || error == EINPROGRESS) {
            err << "The service at " << path << " does not take the connection within "
                << Seconds(limit) << " s\n";
            return CONTROL_FAILED;
        }
        err << "Cannot connect to " << path << ": " << strerror(error) << "\n";
        return CONTROL_FAILED;
    }
}

// Sends the request line. CONTROL_OK when it went out or the service closed
// the connection (its reply says why: `sendError` keeps the errno for when
// it does not); CONTROL_FAILED, with the reason on `err`, on a time-out.
int SendLine(int fd, const std::string& line, const std::string& path, std::ostream& err,
             int& sendError)
{
    size_t sent = 0;
    while (sent < line.size()) {
        if (!WaitUntil(fd, POLLOUT, Clock::now() + std::chrono::seconds(5))) {
            err << "The service at " << path << " does not take the request\n";
            return CONTROL_FAILED;
        }
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            // A service that refuses the caller answers and closes at once;
            // its line, not the broken pipe, tells the caller why.
            sendError = errno;
            return CONTROL_OK;
        }
        sent += static_cast<size_t>(n);
    }
    return CONTROL_OK;
}

// Passes the complete lines of `pending` on; the exit status once the final
// line came, else kNoReply.
int TakeLines(std::string& pending, std::ostream& out, std::ostream& err)
{
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
        std::string reply = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (reply == "OK")
            return CONTROL_OK;
        if (reply.compare(0, 6, "ERROR ") == 0) {
            err << reply.substr(6) << "\n";
            return CONTROL_FAILED;
        }
        out << reply << "\n" << std::flush;
    }
    return kNoReply;
}

// Waits up to waits.reply for the next bytes of the reply, telling
// waits.progress every waits.progressEvery since `sent`; false on time-out.
bool AwaitReply(int fd, const ControlWaits& waits, Clock::time_point sent,
                Clock::time_point& nextProgress)
{
    auto deadline = Clock::now() + waits.reply;
    for (;;) {
        if (!waits.progress || nextProgress >= deadline)
            return WaitUntil(fd, POLLIN, deadline);
        if (WaitUntil(fd, POLLIN, nextProgress))
            return true;
        waits.progress(std::chrono::duration_cast<std::chrono::seconds>(nextProgress - sent));
        nextProgress += waits.progressEvery;
    }
}

int ReadReply(int fd, const std::string& path, std::ostream& out, std::ostream& err,
              const ControlWaits& waits, int sendError)
{
    std::string pending;
    char buffer[4096];
    Clock::time_point sent = Clock::now();
    Clock::time_point nextProgress = sent + waits.progressEvery;
    for (;;) {
        int result = TakeLines(pending, out, err);
        if (result != kNoReply)
            return result;
        if (!AwaitReply(fd, waits, sent, nextProgress)) {
            err << "No reply from the service at " << path << " within " << Seconds(waits.reply)
                << " s\n";
            return CONTROL_FAILED;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0 && sendError != 0) {
            err << "Cannot send the request to " << path << ": " << strerror(sendError) << "\n";
            return CONTROL_FAILED;
        }
        if (n < 0) {
            err << "Cannot read the reply from " << path << ": " << strerror(errno) << "\n";
            return CONTROL_FAILED;
        }
        if (n == 0) {
            err << "The service at " << path << " closed the connection before its reply was complete\n";
            return CONTROL_FAILED;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

int SendControlRequest(const std::string& path, const std::string& request, std::ostream& out,
                       std::ostream& err, const ControlWaits& waits)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        err << "Control socket path " << path << " is too long\n";
        return CONTROL_FAILED;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    Descriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        err << "Cannot create a socket for " << path << ": " << strerror(errno) << "\n";
        return CONTROL_FAILED;
    }
    int result = Connect(fd.get(), address, path, waits.connect, err);
    if (result != CONTROL_OK)
        return result;
    int sendError = 0;
    result = SendLine(fd.get(), request + "\n", path, err, sendError);
    if (result != CONTROL_OK)
        return result;
    return ReadReply(fd.get(), path, out, err, waits, sendError);
}

int SendControlRequest(const std::string& path, const std::string& request, std::ostream& out,
                       std::ostream& err, std::chrono::milliseconds replyTimeout)
{
    ControlWaits waits;
    waits.reply = replyTimeout;
    return SendControlRequest(path, request, out, err, waits);
}
