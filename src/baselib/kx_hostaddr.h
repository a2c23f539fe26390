/* Host names and addresses: IPv6 switch, name resolution, the local host's
 * addresses and names, and comparison of host texts. Every function logs its
 * own failures to the log passed in (which may be null). */
#ifndef KX_HOSTADDR_H
#define KX_HOSTADDR_H

#include "baselib/kx_log.h"
#include "baselib/kx_status.h"
#include "baselib/kx_stringlist.h"

#ifdef __cplusplus
extern "C" {
#endif

struct addrinfo;

/* Sizes of address texts and host names, with the terminator. */
#define KX_HOSTADDR_SIZE 256

/* 1 when TARVEL_ENABLE_IPv6 is set, non-empty and not exactly "0". */
int IsIPv6Enabled(void);

/* On success *list receives the whole result (release with freeaddrinfo)
 * and *chosen one entry of it. IPPROTO_UDP selects datagram sockets, every
 * other protocol stream sockets over TCP. */
KXStatus ResolveHostName(const char *host, unsigned short port, struct addrinfo **list,
                         struct addrinfo **chosen, int protocol, KXLog *log);

/* As ResolveHostName; on failure *reason (when not null) receives the
 * resolver's code for gai_strerror (EAI_SYSTEM: see errno), EAI_ADDRFAMILY
 * when no entry of the result qualifies. */
KXStatus ResolveHostNameReason(const char *host, unsigned short port, struct addrinfo **list,
                               struct addrinfo **chosen, int protocol, int *reason, KXLog *log);

/* Appends the local host's resolver addresses, its name (and short name),
 * and the loopback entries. */
KXStatus GetLocalIPs(KXStringList *list, KXLog *log);

/* Copies the first entry of GetLocalIPs into buffer (KX_HOSTADDR_SIZE bytes). */
KXStatus GetPrimaryIP(char *buffer, KXLog *log);

/* 0 when both texts denote the same host. */
int CompareHostAddr(const char *hostName1, const char *hostName2, KXLog *log);

/* Splits a trailing ":port" off text; 0 on success, 1 otherwise. */
int ParseSocket(char *text, unsigned short *port, void *enable);

#ifdef __cplusplus
}
#endif

#endif
