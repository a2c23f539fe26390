#include "servicectl/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

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

// Waits until fd is ready for `events` or the time is up; false on time-out.
bool WaitFor(int fd, short events, std::chrono::milliseconds timeout)
{
    pollfd p{fd, events, 0};
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
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

}  // namespace

int SendControlRequest(const std::string& path, const std::string& request, std::ostream& out,
                       std::ostream& err, std::chrono::milliseconds replyTimeout)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        err << "Control socket path " << path << " is too long\n";
        return CONTROL_FAILED;
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    Descriptor fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        err << "Cannot create a socket for " << path << ": " << strerror(errno) << "\n";
        return CONTROL_FAILED;
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        // No socket, or one that nobody listens on: no service runs.
        if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
            err << "No services running.\n";
            return CONTROL_NOT_RUNNING;
        }
        err << "Cannot connect to " << path << ": " << strerror(error) << "\n";
        return CONTROL_FAILED;
    }

    std::string line = request + "\n";
    int sendError = 0;
    size_t sent = 0;
    while (sent < line.size()) {
        if (!WaitFor(fd.get(), POLLOUT, std::chrono::seconds(5))) {
            err << "The service at " << path << " does not take the request\n";
            return CONTROL_FAILED;
        }
        ssize_t n = send(fd.get(), line.data() + sent, line.size() - sent,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            // A service that refuses the caller answers and closes at once;
            // its line, not the broken pipe, tells the caller why.
            sendError = errno;
            break;
        }
        sent += static_cast<size_t>(n);
    }

    std::string pending;
    char buffer[4096];
    for (;;) {
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
        if (!WaitFor(fd.get(), POLLIN, replyTimeout)) {
            err << "No reply from the service at " << path << " within "
                << std::chrono::duration_cast<std::chrono::seconds>(replyTimeout).count()
                << " s\n";
            return CONTROL_FAILED;
        }
        ssize_t n = recv(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 && sendError != 0) {
            err << "Cannot send the request to " << path << ": " << strerror(sendError) << "\n";
            return CONTROL_FAILED;
        }
        if (n < 0) {
            err << "Cannot read the reply from " << path << ": " << strerror(errno) << "\n";
            return CONTROL_FAILED;
        }
        if (n == 0 && sendError != 0) {
            err << "Cannot send the request to " << path << ": " << strerror(sendError) << "\n";
            return CONTROL_FAILED;
        }
        if (n == 0) {
            err << "The service at " << path << " closed the connection before its reply was complete\n";
            return CONTROL_FAILED;
        }
        pending.append(buffer, static_cast<size_t>(n));
    }
}
