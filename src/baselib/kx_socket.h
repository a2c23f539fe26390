/* TCP sockets: client sockets with keep-alive and a connect time-out,
 * whole-buffer transfers in small steps under a general time-out, line
 * output, a health check for kept sockets, and listening sockets.
 *
 * Every descriptor must fit into a select() set, so descriptors of
 * FD_SETSIZE (1024) and above are refused wherever one is obtained. */
#ifndef KX_SOCKET_H
#define KX_SOCKET_H

#include <time.h>
#include "baselib/kx_log.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KX_SOCKET_CHUNK = 512,             /* most bytes per send/recv call */
    KX_SOCKET_BACKLOG = 128,           /* listen backlog */
    KX_SOCKET_KEEP_SECONDS = 300,      /* a kept socket is reusable this long */
    KX_SOCKET_MAX_CONNECT_TIMEOUT = 100, /* connect time-outs must be below */
    KX_SOCKET_DEFAULT_TIMEOUT = 998000 /* general time-out of new sockets, ms */
};

/* One record per descriptor; the same record serves connected, accepted and
 * listening sockets. The fields are public for the endpoint layer and for
 * tests; everything else goes through the functions below. */
typedef struct KXSocket {
    int fd;
    unsigned short port; /* peer's port, or the bound port when listening */
    char *host;          /* peer host text, client address, or bound host ("*") */
    int connected;       /* connected, accepted or listening */
    int open;            /* the descriptor exists */
    int timeout;         /* general time-out of every wait, milliseconds */
    time_t connectTime;  /* when the connection was made; 0 before */
} KXSocket;

/* Every function logs its failures to log (which may be null), once, with
 * descriptor, peer and the OS reason; ERROR_PARAMETER for a null argument
 * and ERROR_STATE for a socket in the wrong state (not open; connected or
 * not, as the call needs). */

/* A new unconnected TCP socket of family (AF_INET, AF_INET6) with
 * keep-alive in *socket (which must be null); the caller frees it with
 * KXSocketFree. ERROR_SOCKET_CREATE / ERROR_SOCKET_OPTION / ERROR_MEMORY. */
KXStatus KXSocketNew(KXSocket **socket, int family, KXLog *log);
/* Resolves host and connects within timeout seconds (0: no limit; below
 * KX_SOCKET_MAX_CONNECT_TIMEOUT); the descriptor stays non-blocking.
 * ERROR_SOCKET_FLAGS, the resolver's status, or ERROR_SOCKET_CONNECT. */
KXStatus KXSocketConnect(KXSocket *socket, const char *host, unsigned short port, int timeout,
                         KXLog *log);
/* The general time-out of every later wait, in milliseconds. Can't fail
 * but for a null socket. */
KXStatus KXSocketSetTimeout(KXSocket *socket, int milliseconds, KXLog *log);
/* TCP_MAXSEG of the socket; ERROR_SOCKET_OPTION when refused. */
KXStatus KXSocketSetMSS(KXSocket *socket, int mss, KXLog *log);
/* Sends all *length bytes in steps of at most KX_SOCKET_CHUNK, each under
 * the general time-out; *length becomes the count sent. ERROR_SOCKET_SEND,
 * ERROR_SOCKET_TIMEOUT or ERROR_SOCKET_UNUSABLE. */
KXStatus KXSocketSend(KXSocket *socket, const char *data, int *length, KXLog *log);
/* Formats as printf and sends the whole text. */
KXStatus KXSocketFPrint(KXSocket *socket, const char *format, KXLog *log, ...)
    __attribute__((format(printf, 2, 4)));
/* Sends text up to its first line end (or all of it), then CR LF. */
KXStatus KXSocketSendLine(KXSocket *socket, const char *text, KXLog *log);
/* Receives exactly *length bytes as KXSocketSend sends; ERROR_SOCKET_CLOSED
 * when the peer closes first, ERROR_SOCKET_RECEIVE; *length = count read. */
KXStatus KXSocketReceive(KXSocket *socket, void *buffer, int *length, KXLog *log);
/* Receives up to and with a line feed into buffer (*size >= 2 bytes,
 * zero-terminated); ERROR_BUFFER_SIZE when the line does not fit. */
KXStatus KXSocketReceiveLine(KXSocket *socket, char *buffer, int *size, KXLog *log);
/* ERROR_NONE when a kept socket is still worth using: younger than
 * KX_SOCKET_KEEP_SECONDS, writable, nothing pending; else
 * ERROR_SOCKET_UNUSABLE. Logs nothing for an unusable socket. */
KXStatus KXSocketCheck(KXSocket *socket, KXLog *log);
/* The peer's host text into buffer (size bytes; ERROR_BUFFER_SIZE when it
 * does not fit) and its port into *port. */
KXStatus KXSocketGetHostPort(KXSocket *socket, char *buffer, unsigned size, unsigned short *port,
                             KXLog *log);
/* The descriptor, which stays the socket's. */
KXStatus KXSocketGetFd(KXSocket *socket, int *fd, KXLog *log);
/* The numeric local address into buffer; *size is its size on entry and
 * the bytes used (or, with ERROR_BUFFER_SIZE, needed) on return. */
KXStatus KXSocketGetLocalHost(KXSocket *socket, char *buffer, int *size, KXLog *log);
/* Closes the descriptor, frees the record and nulls *socket. */
KXStatus KXSocketFree(KXSocket **socket, KXLog *log);

/* A socket listening on host (null: every address of family) and port (0:
 * any; the record keeps the one bound) in *server (which must be null; the
 * caller's). ERROR_SOCKET_CREATE, ERROR_SOCKET_CONNECT (bind),
 * ERROR_SOCKET_LISTEN, ERROR_MEMORY or the resolver's status. */
KXStatus KXServerSocketNew(KXSocket **server, const char *host, unsigned short port, int family,
                           KXLog *log);
/* Waits for the next connection (blocking, no time-out) and returns it as
 * a new socket in *client (which must be null; the caller's).
 * ERROR_SOCKET_ACCEPT, ERROR_NAMEINFO or ERROR_MEMORY. */
KXStatus KXSocketAccept(KXSocket *server, KXSocket **client, KXLog *log);

/* strncpy(buffer, the OS text of error, size): not terminated when the text
 * fills size bytes. ERROR_PARAMETER for a null buffer or negative size. */
KXStatus KXFormatSocketError(int error, char *buffer, int size);

#ifdef __cplusplus
}
#endif

#endif
