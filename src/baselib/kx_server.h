/* Server endpoints: one remote host and port that hands out connected
 * sockets, keeps finished sockets parked for reuse (checked again before they
 * are handed out), and carries free-form string and integer properties.
 * Each endpoint guards its shared state with its own critical section, so
 * several threads may use one endpoint. */
#ifndef KX_SERVER_H
#define KX_SERVER_H

#include <stdarg.h>
#include "baselib/kx_critsec.h"
#include "baselib/kx_hash.h"
#include "baselib/kx_list.h"
#include "baselib/kx_log.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_socket.h"
#include "baselib/kx_status.h"
#include "baselib/kx_stringlist.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    KX_SERVER_HOST_SIZE = 256,    /* host texts of at most 255 characters */
    KX_SERVER_CHECK_ATTEMPTS = 100 /* failed checks of parked sockets tolerated */
};

typedef struct KXServer {
    KXCriticalSection *cs; /* guards parked, maxParked and both hashes */
    KXList *parked;        /* parked KXSocket handles, owned */
    unsigned short port;   /* 0 matches any port in comparisons */
    int mss;               /* TCP_MAXSEG for new connections; 0: system default */
    char host[KX_SERVER_HOST_SIZE];
    int maxParked;         /* most sockets kept; 0: no limit */
    KXHash *stringProperties; /* name -> heap copy of the value */
    KXHash *intProperties;    /* name -> heap int */
    KXMemoryManager *mm;      /* allocates the list and the hashes */
} KXServer;

/* Every function logs its failures to log (which may be null) and returns
 * ERROR_PARAMETER for a null argument. */

/* A new endpoint for host (at most 255 characters) and port in *server
 * (which must be null); the caller frees it with KXServerFree. */
KXStatus KXServerNew(KXServer **server, const char *host, unsigned short port, KXLog *log);
/* Closes the parked sockets, frees properties and record, nulls *server. */
KXStatus KXServerFree(KXServer **server, KXLog *log);
/* A connected socket in *socket (which must be null; the caller's, to park
 * or free): a parked one that passes KXSocketCheck, else a new connection
 * with this connect time-out (seconds). Gives up after
 * KX_SERVER_CHECK_ATTEMPTS failed checks with the last check's status. */
KXStatus KXServerGetSocket(KXServer *server, KXSocket **socket, int timeout, KXLog *log);
/* Takes *socket over (and nulls it) to keep for reuse; beyond maxParked the
 * socket is closed instead. On failure *socket stays the caller's. */
KXStatus KXServerParkSocket(KXServer *server, KXSocket **socket, KXLog *log);
/* Most sockets kept (0: no limit); surplus parked sockets are closed. */
KXStatus KXServerSetMaxParked(KXServer *server, int maxParked, KXLog *log);
/* TCP_MAXSEG for connections made from now on; 0: the system's. */
KXStatus KXServerSetMSS(KXServer *server, int mss, KXLog *log);
/* *equal = same host text and same port (0 matching any). */
KXStatus KXServerEqual(KXServer *a, KXServer *b, int *equal, KXLog *log);
/* *match = host denotes the endpoint's host (CompareHostAddr) and the ports
 * agree (0 matching any). */
KXStatus KXServerMatchHost(KXServer *server, const char *host, unsigned short port, int *match,
                           KXLog *log);
/* Copies the host text into buffer, which must hold KX_SERVER_HOST_SIZE bytes. */
KXStatus KXServerGetIP(KXServer *server, char *buffer, KXLog *log);
KXStatus KXServerGetPort(KXServer *server, unsigned short *port, KXLog *log);

/* Properties: named values the endpoint keeps copies of. Set replaces an
 * earlier value only once the new one is stored (ERROR_MEMORY leaves the
 * old). Get returns ERROR_NOT_FOUND for an unknown name and
 * ERROR_BUFFER_SIZE when the value does not fit size bytes with its
 * terminator. The name lists are appended to the caller's list. */
KXStatus KXServerSetStringProperty(KXServer *server, const char *name, const char *value,
                                   KXLog *log);
KXStatus KXServerGetStringProperty(KXServer *server, const char *name, char *buffer,
                                   unsigned size, KXLog *log);
KXStatus KXServerSetIntProperty(KXServer *server, const char *name, int value, KXLog *log);
KXStatus KXServerGetIntProperty(KXServer *server, const char *name, int *value, KXLog *log);
KXStatus KXServerGetStringProperties(KXServer *server, KXStringList *names, KXLog *log);
KXStatus KXServerGetIntProperties(KXServer *server, KXStringList *names, KXLog *log);

/* Element destructors for containers; the variable arguments hold the
 * KXLog* to report to. */
int SocketDestructor(KXSocket **socket, va_list args);
int KXServerListEntryDestructor(KXServer **server, va_list args);

#ifdef __cplusplus
}
#endif

#endif
