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

KXStatus KXSocketNew(KXSocket **socket, int family, KXLog *log);
KXStatus KXSocketConnect(KXSocket *socket, const char *host, unsigned short port, int timeout,
                         KXLog *log);
KXStatus KXSocketSetTimeout(KXSocket *socket, int milliseconds, KXLog *log);
KXStatus KXSocketSetMSS(KXSocket *socket, int mss, KXLog *log);
KXStatus KXSocketSend(KXSocket *socket, const char *data, int *length, KXLog *log);
KXStatus KXSocketFPrint(KXSocket *socket, const char *format, KXLog *log, ...)
    __attribute__((format(printf, 2, 4)));
KXStatus KXSocketSendLine(KXSocket *socket, const char *text, KXLog *log);
KXStatus KXSocketReceive(KXSocket *socket, void *buffer, int *length, KXLog *log);
KXStatus KXSocketReceiveLine(KXSocket *socket, char *buffer, int *size, KXLog *log);
KXStatus KXSocketCheck(KXSocket *socket, KXLog *log);
KXStatus KXSocketGetHostPort(KXSocket *socket, char *buffer, unsigned size, unsigned short *port,
                             KXLog *log);
KXStatus KXSocketGetFd(KXSocket *socket, int *fd, KXLog *log);
KXStatus KXSocketGetLocalHost(KXSocket *socket, char *buffer, int *size, KXLog *log);
KXStatus KXSocketFree(KXSocket **socket, KXLog *log);

KXStatus KXServerSocketNew(KXSocket **server, const char *host, unsigned short port, int family,
                           KXLog *log);
KXStatus KXSocketAccept(KXSocket *server, KXSocket **client, KXLog *log);

/* strncpy(buffer, strerror(error), size); 5 for a null buffer. */
KXStatus KXFormatSocketError(int error, char *buffer, int size);

#ifdef __cplusplus
}
#endif

#endif
