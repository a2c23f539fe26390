#include "endpoints/ControlServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/PrivateDirectory.h"

namespace {

// Accepts per wake: a burst of connections cannot keep the loop in here.
constexpr int kAcceptsPerWake = 16;
// After the process ran out of descriptors the listening socket stays
// readable; without a pause the loop would spin on it.
constexpr std::chrono::seconds kAcceptPause{1};

std::string Reason(int error)
{
    return std::strerror(error);
}

}  // namespace

CControlServer::CControlServer(const std::string& runDir, Handler handler)
    : mPath(runDir + "/" + kSocketName), mHandler(std::move(handler))
{
    createDirectory(runDir);
    bindSocket();
}

CControlServer::~CControlServer()
{
    while (!mClients.empty())
        closeClient(mClients.begin()->first);
    if (mListenFd >= 0)
        close(mListenFd);
    // Another service may have taken the path over since; its socket stays.
    struct stat st;
    if (lstat(mPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == mDevice &&
        st.st_ino == mInode)
        unlink(mPath.c_str());
}

void CControlServer::createDirectory(const std::string& runDir)
{
    std::string problem;
    int fd = foundation::OpenPrivateDirectory(runDir, problem);
    if (fd < 0)
        throw CWIException(ERROR_GENERAL, "CControlServer: directory %s refused (%s)",
                           runDir.c_str(), problem.c_str());
    close(fd);
}

void CControlServer::bindSocket()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (mPath.size() >= sizeof address.sun_path)
        throw CWIException(ERROR_GENERAL,
                           "CControlServer: socket path %s is longer than %zu bytes",
                           mPath.c_str(), sizeof address.sun_path - 1);
    memcpy(address.sun_path, mPath.c_str(), mPath.size() + 1);
    auto* raw = reinterpret_cast<sockaddr*>(&address);

    mListenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (mListenFd < 0)
        throw CWIException(ERROR_GENERAL, "CControlServer: cannot create socket %s (%s)",
                           mPath.c_str(), Reason(errno).c_str());

    struct stat st;
    if (lstat(mPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw CWIException(ERROR_GENERAL,
                               "CControlServer: %s exists and is not a socket; not removed",
                               mPath.c_str());
        // Removed and made anew, never used as found: only whose it is matters.
        if (st.st_uid != geteuid())
            throw CWIException(ERROR_GENERAL,
                               "CControlServer: socket %s refused (owned by uid %u); not removed",
                               mPath.c_str(), static_cast<unsigned>(st.st_uid));
        // A socket nobody listens on is what a killed service leaves behind.
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && (connect(probe, raw, sizeof address) == 0 || errno == EAGAIN);
        if (probe >= 0)
            close(probe);
        if (live)
            throw CWIException(ERROR_GENERAL,
                               "CControlServer: %s is served by another running service",
                               mPath.c_str());
        if (unlink(mPath.c_str()) != 0 && errno != ENOENT)
            throw CWIException(ERROR_GENERAL,
                               "CControlServer: cannot remove stale socket %s (%s)",
                               mPath.c_str(), Reason(errno).c_str());
    }

    // The mode is right from the first moment, not only after a chmod.
    mode_t oldMask = umask(0177);
    int rc = bind(mListenFd, raw, sizeof address);
    int error = errno;
    umask(oldMask);
    if (rc != 0)
        throw CWIException(ERROR_GENERAL, "CControlServer: cannot bind socket %s (%s)",
                           mPath.c_str(), Reason(error).c_str());
    if (lstat(mPath.c_str(), &st) != 0 || chmod(mPath.c_str(), 0600) != 0 ||
        listen(mListenFd, static_cast<int>(kMaxClients)) != 0)
        throw CWIException(ERROR_GENERAL, "CControlServer: cannot listen on socket %s (%s)",
                           mPath.c_str(), Reason(errno).c_str());
    mDevice = st.st_dev;
    mInode = st.st_ino;
}

void CControlServer::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    Clock::time_point now = Clock::now();
    mPolled.clear();
    mListenPolled = mListenFd >= 0 && now >= mAcceptPausedUntil;
    if (mListenPolled)
        fds.push_back({mListenFd, POLLIN, 0});
    else if (mAcceptPausedUntil < deadline)
        deadline = mAcceptPausedUntil;

    for (auto& [id, client] : mClients) {
        if (client.phase == Phase::Handling)
            continue;  // the owner answers in its own time; nothing to watch
        fds.push_back({client.fd, static_cast<short>(client.phase == Phase::Reading ? POLLIN
                                                                                    : POLLOUT),
                       0});
        mPolled.push_back(id);
        if (client.deadline < deadline)
            deadline = client.deadline;
    }
}

void CControlServer::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    size_t i = 0;
    if (mListenPolled && count > 0) {
        if (fds[0].revents != 0)
            acceptClients(now);
        i = 1;
    }
    for (size_t k = 0; k < mPolled.size() && i < count; ++k, ++i) {
        if (fds[i].revents == 0)
            continue;
        auto it = mClients.find(mPolled[k]);
        if (it == mClients.end() || it->second.fd != fds[i].fd)
            continue;
        if (it->second.phase == Phase::Reading)
            readRequest(it->first, it->second, now);
        else if (it->second.phase == Phase::Writing)
            writeReply(it->first, it->second, now);
    }
    mPolled.clear();

    std::vector<ClientId> expired;
    for (auto& [id, client] : mClients)
        if (client.phase != Phase::Handling && now >= client.deadline)
            expired.push_back(id);
    for (ClientId id : expired) {
        Client& client = mClients[id];
        if (client.phase == Phase::Reading) {
            client.out.clear();
            client.sent = 0;
            reply(id, "ERROR no complete request within 5 s\n", true);
        }
        // A client that does not take its reply loses it.
        if (mClients.count(id) != 0)
            closeClient(id);
    }

    std::vector<std::pair<ClientId, std::string>> requests;
    requests.swap(mRequests);
    for (auto& [id, line] : requests) {
        if (mClients.count(id) == 0)
            continue;
        try {
            mHandler(id, line);
        } catch (std::exception& e) {
            reply(id, std::string("ERROR ") + e.what() + "\n", true);
        }
    }
}

void CControlServer::acceptClients(Clock::time_point now)
{
    for (int n = 0; n < kAcceptsPerWake; ++n) {
        int fd = accept4(mListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                KXLogWrite(CLog::_pKXLog, "CControlServer: accept on %s failed (%s)",
                           mPath.c_str(), Reason(errno).c_str());
                mAcceptPausedUntil = now + kAcceptPause;
            }
            return;
        }
        struct ucred peer {};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            refuse(fd, "ERROR cannot read the peer's credentials (" + Reason(errno) + ")\n");
            continue;
        }
        if (peer.uid != 0 && peer.uid != geteuid()) {
            refuse(fd, "ERROR permission denied: uid " + std::to_string(peer.uid) +
                           " is neither root nor the service's user\n");
            continue;
        }
        if (mClients.size() >= kMaxClients) {
            refuse(fd, "ERROR too many control connections; try again\n");
            continue;
        }
        Client& client = mClients[mNextId++];
        client.fd = fd;
        client.deadline = now + kRequestTimeout;
    }
}

void CControlServer::refuse(int fd, const std::string& line)
{
    // A fresh socket's buffer takes one short line; if not, the peer loses it.
    ssize_t ignored = send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
    close(fd);
}

void CControlServer::readRequest(ClientId id, Client& client, Clock::time_point)
{
    char buffer[kMaxRequest + 2];
    for (;;) {
        ssize_t n = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0) {
            closeClient(id);
            return;
        }
        bool ended = n == 0;
        client.in.append(buffer, static_cast<size_t>(n));
        size_t newline = client.in.find('\n');
        if (newline == std::string::npos && !ended && client.in.size() <= kMaxRequest)
            continue;
        // A request ends at its newline, or where the client stops writing.
        size_t length = newline != std::string::npos ? newline : client.in.size();
        std::string line = client.in.substr(0, length);
        client.in.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (length > kMaxRequest) {
            reply(id, "ERROR request longer than 4096 bytes\n", true);
            return;
        }
        if (ended && line.empty()) {
            closeClient(id);
            return;
        }
        for (unsigned char c : line) {
            if (c < 0x20 || c == 0x7f) {
                reply(id, "ERROR malformed request: control character in the request line\n",
                      true);
                return;
            }
        }
        client.phase = Phase::Handling;
        mRequests.emplace_back(id, std::move(line));
        return;
    }
}

void CControlServer::reply(ClientId id, std::string lines, bool last)
{
    auto it = mClients.find(id);
    if (it == mClients.end() || it->second.closeAfterWrite)
        return;
    Client& client = it->second;
    if (client.sent == client.out.size()) {
        client.out = std::move(lines);
        client.sent = 0;
    } else {
        client.out += lines;
    }
    client.closeAfterWrite = last;
    client.phase = Phase::Writing;
    client.deadline = Clock::now() + kWriteTimeout;
    writeReply(id, client, Clock::now());
}

void CControlServer::writeReply(ClientId id, Client& client, Clock::time_point now)
{
    while (client.sent < client.out.size()) {
        ssize_t n = send(client.fd, client.out.data() + client.sent, client.out.size() - client.sent,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            closeClient(id);
            return;
        }
        client.sent += static_cast<size_t>(n);
        client.deadline = now + kWriteTimeout;
    }
    client.out.clear();
    client.sent = 0;
    if (client.closeAfterWrite)
        closeClient(id);
    else
        client.phase = Phase::Handling;
}

bool CControlServer::waiting(ClientId id) const
{
    auto it = mClients.find(id);
    return it != mClients.end() && !it->second.closeAfterWrite;
}

void CControlServer::closeClient(ClientId id)
{
    auto it = mClients.find(id);
    if (it == mClients.end())
        return;
    close(it->second.fd);
    mClients.erase(it);
}
