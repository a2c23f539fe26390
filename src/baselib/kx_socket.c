/* TCP sockets. Descriptors are switched to non-blocking on connect and every
 * transfer waits with select() first, so no call here blocks without a
 * time-out apart from accept(). Each failure is logged once, here, with the
 * descriptor and peer, and returned as a status. */
#include "baselib/kx_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "baselib/kx_error.h"
#include "baselib/kx_hostaddr.h"
#include "baselib/kx_string.h"

#define NUMERIC_HOST_SIZE 256
#define NUMERIC_SERVICE_SIZE 32

KXStatus KXFormatSocketError(int error, char *buffer, int size)
{
    /* A negative size would reach strncpy() as a huge one. */
    if (buffer == NULL || size < 0)
        return ERROR_PARAMETER;
    strncpy(buffer, KX_REASON(error), (size_t)size);
    return ERROR_NONE;
}

static const char *HostText(const KXSocket *sock)
{
    return sock->host != NULL ? sock->host : "";
}

static void MillisecondsToTimeval(int milliseconds, struct timeval *tv)
{
    tv->tv_sec = milliseconds / 1000;
    tv->tv_usec = (milliseconds % 1000) * 1000;
}

/* A descriptor that select() cannot watch is useless to this library. */
static int OutOfRange(int fd)
{
    return fd >= FD_SETSIZE;
}

KXStatus KXSocketNew(KXSocket **sock, int family, KXLog *log)
{
    KXSocket *s;
    int fd, on = 1;
    KXStatus status;

    if (sock == NULL || *sock != NULL)
        return KXFail(log, ERROR_PARAMETER, "KXSocketNew(): wrong parameters passed to procedure");
    fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return KXFail(log, ERROR_SOCKET_CREATE, "KXSocketNew(): error creating socket (%s)",
                      KX_REASON(errno));
    if (OutOfRange(fd)) {
        status = KXFail(log, ERROR_SOCKET_CREATE,
                        "KXSocketNew(): socket #%d is out of range (0..%d) for select()", fd,
                        FD_SETSIZE - 1);
        goto failed;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        status = KXFail(log, ERROR_SOCKET_OPTION,
                        "KXSocketNew(): error setting socket options (%s)", KX_REASON(errno));
        goto failed;
    }
    s = calloc(1, sizeof *s);
    if (s == NULL) {
        status = KXFail(log, ERROR_MEMORY, "KXSocketNew(): couldn't allocate memory");
        goto failed;
    }
    s->fd = fd;
    s->timeout = KX_SOCKET_DEFAULT_TIMEOUT;
    s->open = 1;
    *sock = s;
    return ERROR_NONE;

failed:
    close(fd);
    return status;
}

/* Waits for a non-blocking connect to finish and reads its outcome. */
static KXStatus AwaitConnect(KXSocket *s, const char *host, unsigned short port, int timeout,
                             KXLog *log)
{
    struct timeval tv = {timeout, 0};
    fd_set readable, writable;
    int n, err = 0;
    socklen_t len = sizeof err;

    do {
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(s->fd, &readable);
        FD_SET(s->fd, &writable);
        /* Linux leaves the remaining time in tv, so a signal does not
         * restart the full time-out. */
        n = select(s->fd + 1, &readable, &writable, NULL, timeout > 0 ? &tv : NULL);
    } while (n < 0 && errno == EINTR);

    if (n < 0) {
        err = errno;
        return KXFail(log, ERROR_SOCKET_CONNECT,
                      "KXSocketConnect(): connect to [%s]:%hu failed (%d: %s)", host, port, err,
                      KX_REASON(err));
    }
    if (n == 0)
        return KXFail(log, ERROR_SOCKET_CONNECT, "KXSocketConnect(): connect to [%s]:%hu timed out",
                      host, port);
    if (!FD_ISSET(s->fd, &readable) && !FD_ISSET(s->fd, &writable))
        return KXFail(log, ERROR_SOCKET_CONNECT,
                      "KXSocketConnect(): socked fd not set by select()");
    if (getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return KXFail(log, ERROR_SOCKET_CONNECT, "KXSocketConnect(): getsockopt() failed (%s)",
                      KX_REASON(errno));
    if (err != 0)
        return KXFail(log, ERROR_SOCKET_CONNECT,
                      "KXSocketConnect(): connect to [%s]:%hu failed (%d, %s)", host, port, err,
                      KX_REASON(err));
    return ERROR_NONE;
}

KXStatus KXSocketConnect(KXSocket *s, const char *host, unsigned short port, int timeout,
                         KXLog *log)
{
    struct addrinfo *list = NULL, *chosen = NULL;
    int flags, err;
    KXStatus status;

    /* A negative time-out would make select() fail; it is as wrong as one
     * of 100 s or more. */
    if (host == NULL || s == NULL || timeout >= KX_SOCKET_MAX_CONNECT_TIMEOUT || timeout < 0)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketConnect(): wrong arguments passed to procedure");
    if (!s->open || s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketConnect(): mismatch of internal state");

    /* The descriptor stays non-blocking: every later transfer waits with
     * select() under the general time-out. */
    flags = fcntl(s->fd, F_GETFL);
    if (flags < 0)
        return KXFail(log, ERROR_SOCKET_FLAGS,
                      "KXSocketConnect(): error detecting file flags of socket #%d connected to "
                      "[%s]:%hu (%s)",
                      s->fd, host, port, KX_REASON(errno));
    if (fcntl(s->fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return KXFail(log, ERROR_SOCKET_FLAGS,
                      "KXSocketConnect(): error setting file flags for socket #%d connected to "
                      "[%s]:%hu (%s)",
                      s->fd, host, port, KX_REASON(errno));

    status = ResolveHostName(host, port, &list, &chosen, IPPROTO_TCP, log);
    if (status != ERROR_NONE)
        return status;
    if (connect(s->fd, chosen->ai_addr, chosen->ai_addrlen) != 0) {
        err = errno;
        if (err == EINTR || err == EAGAIN || err == EINPROGRESS)
            status = AwaitConnect(s, host, port, timeout, log);
        else
            status = KXFail(log, ERROR_SOCKET_CONNECT,
                            "KXSocketConnect(): connect to [%s]:%hu failed (%d: %s)", host, port,
                            err, KX_REASON(err));
    }
    freeaddrinfo(list);
    if (status != ERROR_NONE)
        return status;

    s->connected = 1;
    s->port = port;
    s->connectTime = time(NULL);
    s->host = strdup(host);
    if (s->host == NULL)
        return KXFail(log, ERROR_MEMORY,
                      "KXSocketConnect(): unable to allocate memory needed for IP");
    return ERROR_NONE;
}

KXStatus KXSocketSetTimeout(KXSocket *s, int milliseconds, KXLog *log)
{
    if (s == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketSetTimeout(): wrong arguments passed to procedure");
    s->timeout = milliseconds;
    return ERROR_NONE;
}

KXStatus KXSocketSetMSS(KXSocket *s, int mss, KXLog *log)
{
    if (s == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketSetMSS(): wrong arguments passed to procedure");
    if (setsockopt(s->fd, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss) != 0)
        return KXFail(log, ERROR_SOCKET_OPTION,
                      "KXSocketSetMSS(): error setting socket options (%s)", KX_REASON(errno));
    return ERROR_NONE;
}

/* Send and Receive are one loop; these are the parts that differ. */
typedef struct Direction {
    const char *function;
    const char *failure; /* what a failed transfer call did */
    KXStatus failureStatus;
    int writing;
} Direction;

static const Direction sending = {"KXSocketSend", "error sending data", ERROR_SOCKET_SEND, 1};
static const Direction receiving = {"KXSocketReceive", "failed to receive data",
                                    ERROR_SOCKET_RECEIVE, 0};

/* Waits under the general time-out until s is ready for the direction:
 * ERROR_NONE when it is, INTERRUPTED when a signal cut the wait short, or
 * the failure, logged. */
enum { INTERRUPTED = -1 };

static KXStatus AwaitReady(KXSocket *s, const Direction *d, KXLog *log)
{
    fd_set ready, exceptions;
    struct timeval tv;
    int n, err;

    FD_ZERO(&ready);
    FD_ZERO(&exceptions);
    FD_SET(s->fd, &ready);
    FD_SET(s->fd, &exceptions);
    MillisecondsToTimeval(s->timeout, &tv);
    n = select(s->fd + 1, d->writing ? NULL : &ready, d->writing ? &ready : NULL, &exceptions,
               &tv);
    if (n < 0) {
        err = errno;
        if (err == EINTR)
            return INTERRUPTED;
        return KXFail(log, ERROR_SOCKET_UNUSABLE,
                      "%s(): socket #%d connected to [%s]:%hu can not be used anymore (%s)",
                      d->function, s->fd, HostText(s), s->port, KX_REASON(err));
    }
    if (FD_ISSET(s->fd, &exceptions))
        return KXFail(log, ERROR_SOCKET_UNUSABLE,
                      "%s(): socket #%d connected to [%s]:%hu can not be used anymore "
                      "(exception)",
                      d->function, s->fd, HostText(s), s->port);
    if (!FD_ISSET(s->fd, &ready))
        return KXFail(log, ERROR_SOCKET_TIMEOUT,
                      "%s(): socket #%d connected to [%s]:%hu exceeded general timeout of %d "
                      "seconds",
                      d->function, s->fd, HostText(s), s->port, s->timeout / 1000);
    return ERROR_NONE;
}

static KXStatus Transfer(KXSocket *s, const Direction *d, char *data, int *length, KXLog *log)
{
    int total = *length, done = 0, err;
    KXStatus status = ERROR_NONE;
    ssize_t n;
    size_t chunk;

    while (done < total) {
        status = AwaitReady(s, d, log);
        if (status == INTERRUPTED)
            continue;
        if (status != ERROR_NONE)
            break;
        chunk = (size_t)(total - done);
        if (chunk > KX_SOCKET_CHUNK)
            chunk = KX_SOCKET_CHUNK;
        /* MSG_DONTWAIT also for accepted sockets, which are blocking: the
         * waiting is select()'s. MSG_NOSIGNAL, so that a peer that went
         * away costs a status, not the process. */
        if (d->writing)
            n = send(s->fd, data + done, chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
        else
            n = recv(s->fd, data + done, chunk, MSG_DONTWAIT);
        if (n < 0) {
            err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)
                continue;
            status = KXFail(log, d->failureStatus, "%s(): socket #%d connected to [%s]:%hu %s (%s)",
                            d->function, s->fd, HostText(s), s->port, d->failure,
                            KX_REASON(err));
            break;
        }
        if (n == 0 && !d->writing) {
            status = ERROR_SOCKET_CLOSED;
            break;
        }
        done += (int)n;
    }
    *length = done;
    return status;
}

KXStatus KXSocketSend(KXSocket *s, const char *data, int *length, KXLog *log)
{
    if (data == NULL || s == NULL || length == NULL)
        return KXFail(log, ERROR_PARAMETER, "KXSocketSend(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketSend(): mismacth of internal state");
    return Transfer(s, &sending, (char *)data, length, log);
}

KXStatus KXSocketReceive(KXSocket *s, void *buffer, int *length, KXLog *log)
{
    if (buffer == NULL || s == NULL || length == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketReceive(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketReceive(): mismatch of internal state");
    return Transfer(s, &receiving, buffer, length, log);
}

KXStatus KXSocketFPrint(KXSocket *s, const char *format, KXLog *log, ...)
{
    va_list args;
    char *text = NULL;
    int length = 0;
    KXStatus status;

    if (format == NULL || s == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketFPrint(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketFPrint(): mismatch of internal state");
    va_start(args, log);
    status = KXVFormatString(&text, &length, format, args);
    va_end(args);
    if (status != ERROR_NONE)
        return status;
    status = KXSocketSend(s, text, &length, log);
    free(text);
    return status;
}

KXStatus KXSocketSendLine(KXSocket *s, const char *text, KXLog *log)
{
    const char *end;
    int length;
    KXStatus status;

    if (s == NULL || text == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketSendLine(): wrong parameter passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketSendLine(): mismatch of internal state");
    end = strstr(text, "\r\n");
    if (end == NULL)
        end = strchr(text, '\n');
    if (end == NULL)
        end = text + strlen(text);
    length = (int)(end - text);
    status = KXSocketSend(s, text, &length, log);
    if (status != ERROR_NONE)
        return status;
    length = 2;
    return KXSocketSend(s, "\r\n", &length, log);
}

KXStatus KXSocketReceiveLine(KXSocket *s, char *buffer, int *size, KXLog *log)
{
    int stored = 0;
    KXStatus status;

    /* Room for one byte and the terminator is the least that makes sense. */
    if (s == NULL || buffer == NULL || size == NULL || *size < 2)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketReceiveLine(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketReceiveLine(): mismatch of internal state");
    for (;;) {
        int one = 1;

        status = KXSocketReceive(s, buffer + stored, &one, log);
        if (status != ERROR_NONE)
            break;
        if (buffer[stored++] == '\n')
            break;
        if (stored == *size - 1) {
            status = ERROR_BUFFER_SIZE;
            break;
        }
    }
    buffer[stored] = '\0';
    return status;
}

/* One select() with a zero time-out for one kind of event. */
static int PollNow(int fd, int kind, int *happened)
{
    fd_set set;
    struct timeval zero;
    int n;

    do {
        FD_ZERO(&set);
        FD_SET(fd, &set);
        zero.tv_sec = 0;
        zero.tv_usec = 0;
        n = select(fd + 1, kind == 0 ? &set : NULL, kind == 1 ? &set : NULL,
                   kind == 2 ? &set : NULL, &zero);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    *happened = FD_ISSET(fd, &set) != 0;
    return 0;
}

KXStatus KXSocketCheck(KXSocket *s, KXLog *log)
{
    int happened = 0;

    if (s == NULL)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketCheck(): wrong parameters passed to procedure");
    if (!s->open) {
        KXLogWrite(log,
                   "KXSocketCheck(): mismatch of internal state (trying to check non existing "
                   "socket)");
        return ERROR_STATE;
    }
    /* Peers and middle boxes drop idle connections; an old one is not worth
     * the risk, however recently it was used. */
    if (time(NULL) - s->connectTime > KX_SOCKET_KEEP_SECONDS)
        return ERROR_SOCKET_UNUSABLE;
    if (PollNow(s->fd, 2, &happened) != 0 || happened)
        return ERROR_SOCKET_UNUSABLE;
    if (PollNow(s->fd, 1, &happened) != 0 || !happened)
        return ERROR_SOCKET_UNUSABLE;
    /* Nothing was asked, so anything readable is an end or garbage. */
    if (PollNow(s->fd, 0, &happened) != 0 || happened)
        return ERROR_SOCKET_UNUSABLE;
    return ERROR_NONE;
}

KXStatus KXSocketGetHostPort(KXSocket *s, char *buffer, unsigned size, unsigned short *port,
                             KXLog *log)
{
    size_t length;

    if (buffer == NULL || s == NULL || port == NULL || size == 0)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketGetHostPort(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketGetHostPort(): mismatch of internal state");
    *port = s->port;
    if (s->host == NULL) {
        buffer[0] = '\0';
        return ERROR_NONE;
    }
    length = strlen(s->host);
    if (length >= size)
        return ERROR_BUFFER_SIZE;
    memcpy(buffer, s->host, length + 1);
    return ERROR_NONE;
}

KXStatus KXSocketGetFd(KXSocket *s, int *fd, KXLog *log)
{
    if (s == NULL || fd == NULL)
        return KXFail(log, ERROR_PARAMETER, "KXSocketGetFd(): wrong arguments passed to procedure");
    *fd = s->fd;
    return ERROR_NONE;
}

KXStatus KXSocketGetLocalHost(KXSocket *s, char *buffer, int *size, KXLog *log)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    char host[NUMERIC_HOST_SIZE];
    int rc, needed;

    if (buffer == NULL || s == NULL || size == NULL || *size <= 0)
        return KXFail(log, ERROR_PARAMETER,
                      "KXSocketGetLocalHost(): wrong arguments passed to procedure");
    if (!s->open || !s->connected)
        return KXFail(log, ERROR_STATE, "KXSocketGetLocalHost(): mismatch of internal state");
    if (getsockname(s->fd, (struct sockaddr *)&address, &length) != 0)
        return KXFail(log, ERROR_SOCKET_UNUSABLE,
                      "KXSocketGetLocalHost(): getsockname() failed: %s", KX_REASON(errno));
    rc = getnameinfo((struct sockaddr *)&address, length, host, sizeof host, NULL, 0,
                     NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0)
        return KXFail(log, ERROR_NAMEINFO,
                      "KXSocketGetLocalHost(): getnameinfo() failed (result=%d): %s", rc,
                      gai_strerror(rc));
    /* A text that does not fit is not cut: the caller learns the size it
     * needs and gets nothing half. */
    needed = (int)strlen(host) + 1;
    if (needed > *size) {
        *size = needed;
        return ERROR_BUFFER_SIZE;
    }
    memcpy(buffer, host, (size_t)needed);
    *size = needed;
    return ERROR_NONE;
}

KXStatus KXSocketFree(KXSocket **sock, KXLog *log)
{
    if (sock == NULL || *sock == NULL)
        return KXFail(log, ERROR_PARAMETER, "KXSocketFree(): wrong arguments passed to procedure");
    if ((*sock)->open)
        close((*sock)->fd);
    free((*sock)->host);
    free(*sock);
    *sock = NULL;
    return ERROR_NONE;
}

/* Binds fd to the resolved address, or to the family's wildcard address. */
static int BindTo(int fd, const struct addrinfo *chosen, int family, unsigned short port)
{
    if (chosen != NULL)
        return bind(fd, chosen->ai_addr, chosen->ai_addrlen);
    if (family == AF_INET6) {
        struct sockaddr_in6 any6;

        memset(&any6, 0, sizeof any6);
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(port);
        return bind(fd, (struct sockaddr *)&any6, sizeof any6);
    } else {
        struct sockaddr_in any4;

        memset(&any4, 0, sizeof any4);
        any4.sin_family = AF_INET;
        any4.sin_addr.s_addr = htonl(INADDR_ANY);
        any4.sin_port = htons(port);
        return bind(fd, (struct sockaddr *)&any4, sizeof any4);
    }
}

/* The port the system chose when port 0 was asked for; 0 if unknown. */
static unsigned short BoundPort(int fd)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof address;

    if (getsockname(fd, (struct sockaddr *)&address, &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(((struct sockaddr_in6 *)&address)->sin6_port);
    if (address.ss_family == AF_INET)
        return ntohs(((struct sockaddr_in *)&address)->sin_port);
    return 0;
}

/* Sets the options every listening socket gets; on failure the reason is
 * logged and the status returned, fd left open for the caller to close. */
static KXStatus SetListenOptions(int fd, unsigned short port, KXLog *log)
{
    /* A lingering close of 0 s resets the connections still queued. */
    static const struct linger hardClose = {1, 0};
    static const int on = 1;
    static const struct {
        int option;
        const char *name;
        const void *value;
        socklen_t size;
    } options[] = {
        {SO_LINGER, "SO_LINGER", &hardClose, sizeof hardClose},
        {SO_REUSEADDR, "SO_REUSEADDR", &on, sizeof on},
    };
    size_t i;
    int err;

    for (i = 0; i < sizeof options / sizeof options[0]; i++) {
        if (setsockopt(fd, SOL_SOCKET, options[i].option, options[i].value, options[i].size) != 0) {
            err = errno;
            return KXFail(log, ERROR_SOCKET_CREATE,
                          "KXServerSocketNew(): failed to set socket option: %s, port %hu, "
                          "errno: %d (%s)",
                          options[i].name, port, err, KX_REASON(err));
        }
    }
    return ERROR_NONE;
}

/* A descriptor listening on the resolved address (or the family's wildcard
 * one) and port, in *fd; on failure the reason is logged and nothing is left
 * open. */
static KXStatus Listen(int *fd, const struct addrinfo *chosen, int family, const char *shownHost,
                       unsigned short port, KXLog *log)
{
    int err;
    KXStatus status;

    *fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*fd < 0) {
        err = errno;
        return KXFail(log, ERROR_SOCKET_CREATE,
                      "KXServerSocketNew(): error creating socket; port %hu, errno: %d (%s)", port,
                      err, KX_REASON(err));
    }
    if (OutOfRange(*fd)) {
        status = KXFail(log, ERROR_SOCKET_CREATE,
                        "KXServerSocketNew(): socket #%d is out of range (0..%d) for select()", *fd,
                        FD_SETSIZE - 1);
        goto failed;
    }
    status = SetListenOptions(*fd, port, log);
    if (status != ERROR_NONE)
        goto failed;
    if (BindTo(*fd, chosen, family, port) != 0) {
        status = KXFail(log, ERROR_SOCKET_CONNECT,
                        "KXServerSocketNew(): cannot bind to [%s]:%hu (%s)", shownHost, port,
                        KX_REASON(errno));
        goto failed;
    }
    if (listen(*fd, KX_SOCKET_BACKLOG) != 0) {
        status = KXFail(log, ERROR_SOCKET_LISTEN,
                        "KXServerSocketNew(): can't start listening on socket bound to: [%s]:%hu "
                        "(%s)",
                        shownHost, port, KX_REASON(errno));
        goto failed;
    }
    return ERROR_NONE;

failed:
    close(*fd);
    *fd = -1;
    return status;
}

KXStatus KXServerSocketNew(KXSocket **server, const char *host, unsigned short port, int family,
                           KXLog *log)
{
    struct addrinfo *list = NULL, *chosen = NULL;
    const char *shownHost = host != NULL ? host : "*";
    KXSocket *s = NULL;
    int fd = -1;
    KXStatus status;

    if (server == NULL || *server != NULL)
        return KXFail(log, ERROR_PARAMETER, "KXServerSocketNew(): invalid parameter");
    if (host != NULL) {
        status = ResolveHostName(host, port, &list, &chosen, IPPROTO_TCP, log);
        if (status != ERROR_NONE)
            return status;
        family = chosen->ai_family;
    }
    status = Listen(&fd, chosen, family, shownHost, port, log);
    if (status != ERROR_NONE)
        goto done;
    s = calloc(1, sizeof *s);
    if (s == NULL || (s->host = strdup(shownHost)) == NULL) {
        free(s);
        close(fd);
        status = KXFail(log, ERROR_MEMORY, "KXServerSocketNew(): cannot allocate memory");
        goto done;
    }
    s->fd = fd;
    /* Asked for any port, the record keeps the one actually bound. */
    s->port = port != 0 ? port : BoundPort(fd);
    s->connected = 1;
    s->open = 1;
    s->timeout = 0;
    *server = s;

done:
    if (list != NULL)
        freeaddrinfo(list);
    return status;
}

KXStatus KXSocketAccept(KXSocket *server, KXSocket **client, KXLog *log)
{
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    char host[NUMERIC_HOST_SIZE], service[NUMERIC_SERVICE_SIZE];
    KXSocket *s;
    int fd, rc;
    KXStatus status;

    if (client == NULL || server == NULL || *client != NULL)
        return KXFail(log, ERROR_PARAMETER, "KXSocketAccept(): invalid parameter");
    fd = accept4(server->fd, (struct sockaddr *)&address, &length, SOCK_CLOEXEC);
    if (fd < 0)
        return KXFail(log, ERROR_SOCKET_ACCEPT,
                      "KXSocketAccept(): error accepting client socket for server [%s]:%hu (%s)",
                      HostText(server), server->port, KX_REASON(errno));
    if (OutOfRange(fd)) {
        status = KXFail(log, ERROR_SOCKET_ACCEPT,
                        "KXSocketAccept(): socket #%d is out of range (0..%d) for select()", fd,
                        FD_SETSIZE - 1);
        goto failed;
    }
    rc = getnameinfo((struct sockaddr *)&address, length, host, sizeof host, service,
                     sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        status = KXFail(log, ERROR_NAMEINFO,
                        "KXSocketAccept(): getnameinfo() failed (result=%d): %s", rc,
                        gai_strerror(rc));
        goto failed;
    }
    s = calloc(1, sizeof *s);
    if (s == NULL || (s->host = strdup(host)) == NULL) {
        free(s);
        status = KXFail(log, ERROR_MEMORY, "KXSocketAccept(): cannot allocate IP string");
        goto failed;
    }
    s->fd = fd;
    if (sscanf(service, "%hu", &s->port) != 1)
        s->port = 0;
    s->connected = 1;
    s->open = 1;
    s->timeout = KX_SOCKET_DEFAULT_TIMEOUT;
    s->connectTime = time(NULL);
    *client = s;
    return ERROR_NONE;

failed:
    close(fd);
    return status;
}
