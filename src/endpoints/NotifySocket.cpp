#include "endpoints/NotifySocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/Exceptions.h"
#include "foundation/Log.h"
#include "foundation/Printable.h"

namespace {

// Descriptors one datagram may carry before the kernel cuts the rest; each
// one that arrives is closed at once.
constexpr size_t kMaxCarried = 8;
// A WATCHDOG_USEC beyond a day is a mistake, not a watchdog.
constexpr uint64_t kMaxWatchdogUsec = 24ull * 3600 * 1000000;

[[noreturn]] void Refuse(const char* what, const std::string& path, int error)
{
    throw CWIException(ERROR_GENERAL, "NotifySocket: cannot %s %s (%s)", what, path.c_str(),
                       strerror(error));
}

// A whole number of decimal digits from 1 to max; false for anything else.
bool ReadUsec(const std::string& text, uint64_t& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return value > 0 && value <= kMaxWatchdogUsec;
}

// Closes the descriptors a datagram carried; fills `cred` from its
// credentials. False when descriptors came with it.
bool ReadControl(msghdr& msg, ucred& cred, bool& credited)
{
    bool carried = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof cred)) {
            memcpy(&cred, CMSG_DATA(c), sizeof cred);
            credited = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            carried = true;
            size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < n; ++i) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof fd, sizeof fd);
                close(fd);
            }
        }
    }
    return !carried;
}

}  // namespace

NotifySocket::NotifySocket(const std::string& path, Resolver resolver)
    : mPath(path), mResolver(std::move(resolver))
{
    bindSocket();
}

NotifySocket::~NotifySocket()
{
    if (mFd >= 0)
        close(mFd);
    // Another service may have taken the path over since; its socket stays.
    struct stat st;
    if (lstat(mPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == mDevice &&
        st.st_ino == mInode)
        unlink(mPath.c_str());
}

void NotifySocket::bindSocket()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (mPath.size() >= sizeof address.sun_path)
        Refuse("bind", mPath, ENAMETOOLONG);
    memcpy(address.sun_path, mPath.c_str(), mPath.size() + 1);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    mFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int size = kReceiveBuffer;
    if (mFd < 0 || setsockopt(mFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        setsockopt(mFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
        Refuse("create socket", mPath, errno);
    struct stat st;
    if (lstat(mPath.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            throw CWIException(ERROR_GENERAL, "NotifySocket: %s exists and is not a socket; "
                               "not removed", mPath.c_str());
        // A datagram socket nobody reads refuses a connect: a killed service's.
        int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, raw, sizeof address) == 0;
        if (probe >= 0)
            close(probe);
        if (live)
            throw CWIException(ERROR_GENERAL, "NotifySocket: %s is read by another running "
                               "service", mPath.c_str());
        if (unlink(mPath.c_str()) != 0 && errno != ENOENT)
            Refuse("remove stale socket", mPath, errno);
    }
    // No umask dance: the run directory is 0700, so nobody else reaches the
    // socket before its mode is set.
    if (bind(mFd, raw, sizeof address) != 0)
        Refuse("bind socket", mPath, errno);
    if (chmod(mPath.c_str(), 0600) != 0 || lstat(mPath.c_str(), &st) != 0)
        Refuse("set mode 0600 of", mPath, errno);
    mDevice = st.st_dev;
    mInode = st.st_ino;
}

void NotifySocket::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    fds.push_back({mFd, POLLIN, 0});
    mPolled = true;
    // Drops not yet told hold a wake-up for their line; none otherwise.
    if (mUnlogged > 0)
        deadline = std::min(deadline, mNextLog);
}

void NotifySocket::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    mLastRead = 0;
    mPassSender = 0;  // the table may change between passes, never within one
    if (mPolled && count > 0 && fds[0].fd == mFd && (fds[0].revents & POLLIN))
        while (mLastRead < kMaxPerDispatch && receiveOne())
            ++mLastRead;
    mPolled = false;
    logDrops(now);
}

bool NotifySocket::receiveOne()
{
    char data[kMaxDatagram];
    union {
        cmsghdr align;
        char buffer[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * kMaxCarried)];
    } control;
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buffer;
    msg.msg_controllen = sizeof control.buffer;
    ssize_t n = recvmsg(mFd, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0)
        return false;  // EAGAIN: drained; anything else waits for the next wake
    ucred cred{};
    bool credited = false;
    bool clean = ReadControl(msg, cred, credited);
    if (!clean || (msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        drop(mDrops.malformed, "longer than " + std::to_string(kMaxDatagram) +
                                   " bytes or carrying descriptors");
        return true;
    }
    if (!credited || cred.uid != geteuid()) {
        drop(mDrops.foreign, credited ? "sent by uid " + std::to_string(cred.uid)
                                      : "without the sender's credentials");
        return true;
    }
    // A flood comes from one sender: it costs one look-up a pass.
    if (mPassSender == 0 || cred.pid != mPassSender) {
        mPassSender = cred.pid;
        mPassServer = mResolver(cred.pid);
    }
    const uint64_t server = mPassServer;
    if (server == 0) {
        drop(mDrops.foreign, "from pid " + std::to_string(cred.pid) + ", in no server's tree");
        return true;
    }
    parse(server, std::string(data, static_cast<size_t>(n)));
    return true;
}

void NotifySocket::parse(uint64_t server, const std::string& message)
{
    using Kind = NotifyEvent::Kind;
    size_t taken = 0;
    for (size_t begin = 0; begin <= message.size();) {
        size_t end = std::min(message.find('\n', begin), message.size());
        const std::string line = message.substr(begin, end - begin);
        begin = end + 1;
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        uint64_t usec = 0;
        if (line == "READY=1")
            mEvents.push_back({server, Kind::Ready, "", 0});
        else if (line == "STOPPING=1")
            mEvents.push_back({server, Kind::Stopping, "", 0});
        else if (line == "WATCHDOG=1")
            mEvents.push_back({server, Kind::Watchdog, "", 0});
        else if (key == "STATUS" && equals != std::string::npos)
            mEvents.push_back({server, Kind::Status, PrintableExcerpt(value, kMaxStatus), 0});
        else if (key == "WATCHDOG_USEC" && ReadUsec(value, usec))
            mEvents.push_back({server, Kind::WatchdogTimeout, "", usec});
        else
            continue;  // MAINPID= too: the server's tree says who it is, not the server
        ++taken;
    }
    if (taken == 0)
        drop(mDrops.unknown, "nothing this service takes in \"" + PrintableExcerpt(message) + "\"");
}

void NotifySocket::drop(uint64_t& counter, const std::string& why)
{
    ++counter;
    ++mUnlogged;
    mLastDrop = why;
}

void NotifySocket::logDrops(Clock::time_point now)
{
    if (mUnlogged == 0 || now < mNextLog)
        return;
    CLogger() << "Notification socket " << mPath << ": dropped " << mUnlogged
              << (mUnlogged == 1 ? " message" : " messages") << " (the last " << mLastDrop
              << ")";
    mUnlogged = 0;
    mNextLog = now + kDropLogInterval;
}

std::vector<NotifyEvent> NotifySocket::takeEvents()
{
    std::vector<NotifyEvent> events;
    events.swap(mEvents);
    return events;
}

uint64_t ServerOfSender(pid_t sender, const std::map<pid_t, uint64_t>& servers)
{
    auto it = servers.find(sender);
    if (it != servers.end())
        return it->second;
    const std::string path = "/proc/" + std::to_string(sender) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    // "pid (comm) S ppid pgrp session ...": comm is at most 16 bytes but may
    // hold ')' and blanks, so the fields are read after the last ')'.
    char buffer[512];
    ssize_t length = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (length <= 0)
        return 0;
    buffer[length] = '\0';
    const char* paren = strrchr(buffer, ')');
    char state;
    int parent, group, session;
    if (paren == nullptr || sscanf(paren + 1, " %c %d %d %d", &state, &parent, &group, &session) != 4)
        return 0;
    it = servers.find(static_cast<pid_t>(session));
    return it != servers.end() ? it->second : 0;
}

std::chrono::steady_clock::time_point WatchdogDeadline(std::chrono::steady_clock::time_point last,
                                                       uint64_t usec)
{
    if (usec == 0)
        return std::chrono::steady_clock::time_point::max();
    return last + std::chrono::microseconds(std::min(usec, kMaxWatchdogUsec));
}
