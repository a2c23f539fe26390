#include "appserver/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include "appserver/Metrics.h"
#include "config/ServiceSettings.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

namespace {

constexpr int kBacklog = 64;
// Accepts per wake: a burst of connections cannot keep the loop in here.
constexpr int kAcceptsPerWake = 16;
// After the process ran out of descriptors the listening socket stays
// readable; without a pause the loop would spin on it.
constexpr std::chrono::seconds kAcceptPause{1};

bool ParsePort(const std::string& text, unsigned short& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = std::stoul(text);
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, const char* body)
{
    MHD_Response* response = MHD_create_response_from_buffer(std::strlen(body), const_cast<char*>(body),
                                                              MHD_RESPMEM_PERSISTENT);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, MHD_HTTP_METHOD_GET);
    MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

void FreeBody(void* body)
{
    delete static_cast<std::string*>(body);
}

MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/, void** /*state*/)
{
    // Nothing may unwind through the library's C frames.
    try {
        return static_cast<MHD_Result>(static_cast<CMetricsEndpoint*>(self)->answer(connection, url, method));
    } catch (...) {
        LogCurrentException("Metrics endpoint");
        return Queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "The metrics could not be rendered.\n");
    }
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress& parsed, std::string& reason)
{
    parsed = ListenAddress();
    parsed.text = text;
    std::string host, port;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&parsed.address);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&parsed.address);
    if (!SplitListenAddress(text, host, port)) {
        reason = "listen address '" + text +
                 "' is not ADDRESS:PORT with a numeric IPv4 address or an IPv6 address in brackets";
        return false;
    }
    unsigned short number = 0;
    if (!ParsePort(port, number)) {
        reason = "listen address '" + text + "': port '" + port + "' is not a number from 1 to 65535";
        return false;
    }
    // The address was checked to be numeric of its family.
    if (host.find(':') != std::string::npos) {
        inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(number);
        parsed.length = sizeof(sockaddr_in6);
    } else {
        inet_pton(AF_INET, host.c_str(), &in4->sin_addr);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(number);
        parsed.length = sizeof(sockaddr_in);
    }
    return true;
}

CMetricsEndpoint::CMetricsEndpoint(const std::string& listen, Render render)
    : CMetricsEndpoint(listen, std::move(render), Limits())
{
}

CMetricsEndpoint::CMetricsEndpoint(const std::string& listen, Render render, Limits limits)
    : CMetricsEndpoint(listen, std::vector<Page>{{"/metrics", kMetricsContentType, std::move(render)}}, limits)
{
}

CMetricsEndpoint::CMetricsEndpoint(const std::string& listen, std::vector<Page> pages)
    : CMetricsEndpoint(listen, std::move(pages), Limits())
{
}

CMetricsEndpoint::CMetricsEndpoint(const std::string& listen, std::vector<Page> pages, Limits limits)
    : mPages(std::move(pages)), mLimits(limits)
{
    ListenAddress address;
    std::string reason;
    if (!ParseListenAddress(listen, address, reason))
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: %s", reason.c_str());
    openSocket(address);
    // Without MHD_USE_INTERNAL_POLLING_THREAD the library starts no thread:
    // the loop drives it. Its own messages stay off: a client could fill the
    // log with them.
    mDaemon = MHD_start_daemon(MHD_USE_EPOLL | MHD_USE_NO_LISTEN_SOCKET, 0, nullptr, nullptr, &OnRequest, this,
                               MHD_OPTION_CONNECTION_LIMIT, limits.connections,
                               MHD_OPTION_CONNECTION_TIMEOUT, limits.timeoutSeconds,
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.requestBytes,
                               MHD_OPTION_END);
    const MHD_DaemonInfo* info =
        mDaemon != nullptr ? MHD_get_daemon_info(mDaemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
    mEpollFd = info != nullptr ? info->epoll_fd : -1;
    if (mEpollFd < 0) {
        if (mDaemon != nullptr)
            MHD_stop_daemon(mDaemon);
        close(mListenFd);
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: cannot start the HTTP server on %s",
                           listen.c_str());
    }
}

CMetricsEndpoint::~CMetricsEndpoint()
{
    // Closes the connections, which it owns.
    MHD_stop_daemon(mDaemon);
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
        throw CWIException(ERROR_GENERAL, "Metrics endpoint: cannot listen on %s (%s)", address.text.c_str(),
                           std::strerror(error));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(mListenFd, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        mPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

bool CMetricsEndpoint::acceptClients(Clock::time_point now)
{
    bool any = false;
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(mListenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                mAcceptPausedUntil = now + kAcceptPause;
            break;
        }
        any = true;
        // A connection the library closed (a time-out) still counts until
        // its next run frees it: let it run before refusing anyone.
        if (connectionCount() >= mLimits.connections)
            MHD_run(mDaemon);
        // Beyond the limit: closed unanswered, a client's own retry decides.
        if (connectionCount() >= mLimits.connections)
            close(fd);
        else
            MHD_add_connection(mDaemon, fd, reinterpret_cast<sockaddr*>(&peer), length);  // closes it on failure
    }
    return any;
}

unsigned CMetricsEndpoint::connectionCount() const
{
    const MHD_DaemonInfo* info = MHD_get_daemon_info(mDaemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
    return info != nullptr ? info->num_connections : 0;
}

void CMetricsEndpoint::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    mListenPolled = Clock::now() >= mAcceptPausedUntil;
    if (mListenPolled)
        fds.push_back({mListenFd, POLLIN, 0});
    else if (mAcceptPausedUntil < deadline)
        deadline = mAcceptPausedUntil;
    fds.push_back({mEpollFd, POLLIN, 0});
    MHD_UNSIGNED_LONG_LONG ms = 0;
    mRunBy = Clock::time_point::max();
    if (MHD_get_timeout(mDaemon, &ms) == MHD_YES) {
        mRunBy = Clock::now() + std::chrono::milliseconds(ms);
        if (mRunBy < deadline)
            deadline = mRunBy;
    }
}

void CMetricsEndpoint::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    bool added = false;
    size_t next = 0;
    if (mListenPolled && count > next && fds[next++].revents != 0)
        added = acceptClients(now);
    bool ready = count > next && fds[next].revents != 0;
    // MHD_run does not block without an internal thread: one epoll_wait
    // with a zero time-out, then what is ready.
    if (added || ready || now >= mRunBy)
        MHD_run(mDaemon);
}

int CMetricsEndpoint::answer(void* connection, const char* url, const char* method)
{
    auto* http = static_cast<MHD_Connection*>(connection);
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return Queue(http, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET is served here.\n");
    const Page* page = nullptr;
    for (const Page& candidate : mPages)
        if (candidate.path == url)
            page = &candidate;
    if (page == nullptr)
        return Queue(http, MHD_HTTP_NOT_FOUND, "Not found: the metrics are at /metrics.\n");
    auto* body = new std::string(page->render());
    MHD_Response* response =
        MHD_create_response_from_buffer_with_free_callback_cls(body->size(), &(*body)[0], &FreeBody, body);
    if (response == nullptr) {
        delete body;
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, page->contentType.c_str());
    MHD_Result result = MHD_queue_response(http, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}
