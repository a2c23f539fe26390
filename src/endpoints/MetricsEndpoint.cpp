#include "endpoints/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "endpoints/Metrics.h"
#include "endpoints/Microhttpd.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

constexpr int kBacklog = 64;
// Accepts per wake: a burst of connections cannot keep the loop in here.
constexpr int kAcceptsPerWake = 16;
// After the process ran out of descriptors the listening socket stays
// readable; without a pause the loop would spin on it.
constexpr std::chrono::seconds kAcceptPause{1};
// A connection's memory beyond the largest head served: the parsed fields
// and the reply's header lines, so that an error status always fits.
constexpr size_t kReplyReserve = 8 * 1024;
const char* const kTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

MHD_Result Queue(const Microhttpd& http, MHD_Connection* connection, unsigned status, const char* body)
{
    MHD_Response* response = http.create_response_from_buffer(std::strlen(body), const_cast<char*>(body),
                                                              MHD_RESPMEM_PERSISTENT);
    if (response == nullptr)
        return MHD_NO;
    http.add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        http.add_response_header(response, MHD_HTTP_HEADER_ALLOW, MHD_HTTP_METHOD_GET);
    MHD_Result result = http.queue_response(connection, status, response);
    http.destroy_response(response);
    return result;
}

void FreeBody(void* body)
{
    delete static_cast<std::string*>(body);
}

CMetricsEndpoint& Self(void* cls)
{
    return *static_cast<CMetricsEndpoint*>(cls);
}

MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/, void** /*state*/)
{
    // Nothing may unwind through the library's C frames.
    try {
        return static_cast<MHD_Result>(Self(self).answer(connection, url, method));
    } catch (...) {
        LogCurrentException("Metrics endpoint");
        std::string unused;
        const Microhttpd* http = LoadMicrohttpd(unused);  // loaded, or no request would come
        return http != nullptr ? Queue(*http, connection, MHD_HTTP_INTERNAL_SERVER_ERROR,
                                       "The metrics could not be rendered.\n")
                               : MHD_NO;
    }
}

void OnConnection(void* self, MHD_Connection* connection, void** /*context*/, MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_CLOSED)
        Self(self).connectionEnded(connection);
}

void OnCompleted(void* self, MHD_Connection* connection, void** /*state*/, MHD_RequestTerminationCode code)
{
    Self(self).requestDone(connection, code == MHD_REQUEST_TERMINATED_COMPLETED_OK);
}

MHD_Result AddFieldSize(void* total, MHD_ValueKind /*kind*/, const char* key, const char* value)
{
    // "key: value\r\n"
    *static_cast<size_t*>(total) += std::strlen(key) + (value != nullptr ? std::strlen(value) : 0) + 4;
    return MHD_YES;
}

}  // namespace

CMetricsEndpoint::CMetricsEndpoint(const ListenAddress& listen, Render render)
    : CMetricsEndpoint(listen, std::move(render), Limits())
{
}

CMetricsEndpoint::CMetricsEndpoint(const ListenAddress& listen, Render render, Limits limits)
    : CMetricsEndpoint(listen, std::vector<Page>{{"/metrics", kMetricsContentType, std::move(render)}}, limits)
{
}

CMetricsEndpoint::CMetricsEndpoint(const ListenAddress& listen, std::vector<Page> pages)
    : CMetricsEndpoint(listen, std::move(pages), Limits())
{
}

CMetricsEndpoint::CMetricsEndpoint(const ListenAddress& listen, std::vector<Page> pages, Limits limits)
    : mPages(std::move(pages)), mLimits(limits), mCached(mPages.size())
{
    std::string reason;
    mHttp = LoadMicrohttpd(reason);
    if (mHttp == nullptr)
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: cannot listen on %s: %s", listen.text().c_str(),
                           reason.c_str());
    openSocket(listen);
    startServer(listen);
}

void CMetricsEndpoint::startServer(const ListenAddress& listen)
{
    // Without MHD_USE_INTERNAL_POLLING_THREAD the library starts no thread:
    // the loop drives it. Its own messages stay off: a client could fill the
    // log with them. Its slots are one more than ours, so that a connection
    // it has yet to clean up never makes it refuse one we admitted.
    mDaemon = mHttp->start_daemon(MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, &OnRequest, this,
                                  MHD_OPTION_CONNECTION_LIMIT, mLimits.connections + 1,
                                  MHD_OPTION_CONNECTION_TIMEOUT, mLimits.timeoutSeconds,
                                  MHD_OPTION_CONNECTION_MEMORY_LIMIT, mLimits.requestBytes + kReplyReserve,
                                  MHD_OPTION_NOTIFY_CONNECTION, &OnConnection, this,
                                  MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, this, MHD_OPTION_END);
    const MHD_DaemonInfo* info =
        mDaemon != nullptr ? mHttp->get_daemon_info(mDaemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    mEpollFd = info != nullptr ? info->epoll_fd : -1;
    if (mEpollFd < 0) {
        if (mDaemon != nullptr)
            mHttp->stop_daemon(mDaemon);
        close(mListenFd);
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: cannot start the HTTP server on %s",
                           listen.text().c_str());
    }
}

CMetricsEndpoint::~CMetricsEndpoint()
{
    // Closes the connections, which it owns; a reply still being sent keeps
    // the shared body until it is done.
    for (const Cached& cached : mCached)
        if (cached.response != nullptr)
            mHttp->destroy_response(cached.response);
    mHttp->stop_daemon(mDaemon);
    close(mListenFd);
}

void CMetricsEndpoint::openSocket(const ListenAddress& address)
{
    const auto* raw = reinterpret_cast<const sockaddr*>(&address.address);
    mListenFd = socket(raw->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (mListenFd < 0 || setsockopt(mListenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(mListenFd, raw, address.length) != 0 || listen(mListenFd, kBacklog) != 0) {
        int error = errno;
        if (mListenFd >= 0)
            close(mListenFd);
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: cannot listen on %s (%s)", address.text().c_str(),
                           std::strerror(error));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(mListenFd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        mPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

void CMetricsEndpoint::refillAccepts(Clock::time_point now)
{
    double seconds = std::chrono::duration<double>(now - mAcceptsAt).count();
    mAccepts = std::min<double>(mLimits.connections, mAccepts + seconds * mLimits.acceptsPerSecond);
    mAcceptsAt = now;
}

bool CMetricsEndpoint::acceptClients(Clock::time_point now)
{
    bool any = false;
    refillAccepts(now);
    for (int i = 0; i < kAcceptsPerWake && mAccepts >= 1; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(mListenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                mAcceptPausedUntil = now + kAcceptPause;
            break;
        }
        any = true;
        mAccepts -= 1;
        // A connection the library is done with still counts until its next
        // run frees it. Every slot still taken: the connection that has
        // waited longest for a head makes room, so that idle clients cannot
        // keep a scrape out.
        if (mPeers.size() >= mLimits.connections)
            mHttp->run(mDaemon);
        if (mPeers.size() >= mLimits.connections && evictLongestWaiting())
            mHttp->run(mDaemon);
        if (mPeers.size() >= mLimits.connections) {
            close(fd);  // every slot is busy answering: a client's own retry decides
            continue;
        }
        mPeers[fd] = Peer{now};
        if (mHttp->add_connection(mDaemon, fd, reinterpret_cast<sockaddr*>(&peer), length) != MHD_YES)
            mPeers.erase(fd);  // the library closed it
    }
    return any;
}

bool CMetricsEndpoint::evictLongestWaiting()
{
    auto longest = mPeers.end();
    for (auto it = mPeers.begin(); it != mPeers.end(); ++it)
        if (!it->second.answering && !it->second.closing &&
            (longest == mPeers.end() || it->second.waitingSince < longest->second.waitingSince))
            longest = it;
    if (longest == mPeers.end())
        return false;
    // The library notices the end on its next run, closes the descriptor
    // and frees the slot.
    shutdown(longest->first, SHUT_RDWR);
    mPeers.erase(longest);
    return true;
}

void CMetricsEndpoint::closeOverdueHeads(Clock::time_point now)
{
    const auto limit = std::chrono::seconds(mLimits.headSeconds);
    for (auto& [fd, peer] : mPeers) {
        if (!peer.answering && !peer.closing && now - peer.waitingSince >= limit) {
            shutdown(fd, SHUT_RDWR);
            peer.closing = true;
        }
    }
}

int CMetricsEndpoint::fdOf(void* connection) const
{
    const MHD_ConnectionInfo* info =
        mHttp->get_connection_info(static_cast<MHD_Connection*>(connection), MHD_CONNECTION_INFO_CONNECTION_FD);
    return info != nullptr ? info->connect_fd : -1;
}

void CMetricsEndpoint::connectionEnded(void* connection)
{
    mPeers.erase(fdOf(connection));
}

void CMetricsEndpoint::requestDone(void* connection, bool sent)
{
    auto it = mPeers.find(fdOf(connection));
    if (it == mPeers.end())
        return;
    // A head that filled the connection's memory leaves the library no room
    // for the reply's header lines: the refusal is then written here, in
    // one small non-blocking send, before the library closes the socket.
    if (it->second.refused && !sent)
        send(it->first, kTooLarge, std::strlen(kTooLarge), MSG_NOSIGNAL | MSG_DONTWAIT);
    it->second.refused = false;
    // A kept-alive connection waits for its next head from now on.
    it->second.answering = false;
    it->second.waitingSince = Clock::now();
}

unsigned CMetricsEndpoint::connectionCount() const
{
    const MHD_DaemonInfo* info = mHttp->get_daemon_info(mDaemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info != nullptr ? info->num_connections : 0;
}

void CMetricsEndpoint::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    Clock::time_point now = Clock::now();
    // Connections beyond the pace wait in the kernel's queue, unrefused.
    refillAccepts(now);
    Clock::time_point resume = std::max(
        mAcceptPausedUntil,
        now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                  std::max(0.0, 1 - mAccepts) / mLimits.acceptsPerSecond)));
    mListenPolled = now >= resume;
    if (mListenPolled)
        fds.push_back({mListenFd, POLLIN, 0});
    else if (resume < deadline)
        deadline = resume;
    fds.push_back({mEpollFd, POLLIN, 0});
    MHD_UNSIGNED_LONG_LONG ms = 0;
    mRunBy = Clock::time_point::max();
    if (mHttp->get_timeout(mDaemon, &ms) == MHD_YES)
        mRunBy = now + std::chrono::milliseconds(ms);
    for (const auto& [fd, peer] : mPeers)
        if (!peer.answering && !peer.closing)
            mRunBy = std::min(mRunBy, peer.waitingSince + std::chrono::seconds(mLimits.headSeconds));
    if (mRunBy < deadline)
        deadline = mRunBy;
}

void CMetricsEndpoint::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    bool added = false;
    size_t next = 0;
    if (mListenPolled && count > next && fds[next++].revents != 0)
        added = acceptClients(now);
    bool ready = count > next && fds[next].revents != 0;
    if (now >= mRunBy)
        closeOverdueHeads(now);
    // MHD_run does not block without an internal thread: one epoll_wait
    // with a zero time-out, then what is ready.
    if (added || ready || now >= mRunBy)
        mHttp->run(mDaemon);
}

size_t CMetricsEndpoint::headBytes(void* connection, const char* url, const char* method) const
{
    // "METHOD URL HTTP/1.1\r\n", the fields, the empty line.
    size_t total = std::strlen(method) + 1 + std::strlen(url) + 1 + 10 + 2;
    mHttp->get_connection_values(static_cast<MHD_Connection*>(connection),
                                 static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND), &AddFieldSize,
                                 &total);
    return total;
}

MHD_Response* CMetricsEndpoint::pageResponse(size_t page, Clock::time_point now)
{
    Cached& cached = mCached[page];
    if (cached.response != nullptr && now - cached.at < mLimits.renderAge)
        return cached.response;
    auto* body = new std::string(mPages[page].render());
    MHD_Response* response = mHttp->create_response_with_free(body->size(), &(*body)[0], &FreeBody, body);
    if (response == nullptr) {
        delete body;
        return nullptr;
    }
    mHttp->add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, mPages[page].contentType.c_str());
    // Each scrape comes on a connection of its own, so that the pace of
    // accepts is the pace of scrapes.
    mHttp->add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    // The replies under way keep their own reference to the old one.
    if (cached.response != nullptr)
        mHttp->destroy_response(cached.response);
    cached.response = response;
    cached.at = now;
    return response;
}

int CMetricsEndpoint::answer(void* connection, const char* url, const char* method)
{
    auto* http = static_cast<MHD_Connection*>(connection);
    auto peer = mPeers.find(fdOf(connection));
    if (peer != mPeers.end())
        peer->second.answering = true;
    if (headBytes(connection, url, method) > mLimits.requestBytes) {
        if (peer != mPeers.end())
            peer->second.refused = true;
        return Queue(*mHttp, http, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "The request head is too large.\n");
    }
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return Queue(*mHttp, http, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET is served here.\n");
    size_t page = 0;
    while (page < mPages.size() && mPages[page].path != url)
        ++page;
    if (page == mPages.size())
        return Queue(*mHttp, http, MHD_HTTP_NOT_FOUND, "Not found: the metrics are at /metrics.\n");
    MHD_Response* response = pageResponse(page, Clock::now());
    return response != nullptr ? mHttp->queue_response(http, MHD_HTTP_OK, response) : MHD_NO;
}
