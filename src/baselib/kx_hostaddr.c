/* Host names and addresses over getaddrinfo/getnameinfo. */
#include "baselib/kx_hostaddr.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static const char ADDRESS_CHARACTERS[] = "0123456789.";

int IsIPv6Enabled(void)
{
    /* Read anew on every call: the switch may change while we run. */
    const char *value = getenv("TARVEL_ENABLE_IPv6");

    if (value == NULL || value[0] == '\0')
        return 0;
    return strcmp(value, "0") != 0;
}

/* An address literal: IPv6 (has a colon) or only digits and dots. */
static int IsAddressLiteral(const char *host)
{
    return strchr(host, ':') != NULL || host[strspn(host, ADDRESS_CHARACTERS)] == '\0';
}

KXStatus ResolveHostName(const char *host, unsigned short port, struct addrinfo **list,
                         struct addrinfo **chosen, int protocol, KXLog *log)
{
    return ResolveHostNameReason(host, port, list, chosen, protocol, NULL, log);
}

/* The hints for one look-up: the family IPv6 switches on, a canonical name
 * for a host, the wildcard address without one. */
static void FillHints(struct addrinfo *hints, const char *host, int protocol, int ipv6)
{
    memset(hints, 0, sizeof(*hints));
    hints->ai_family = ipv6 ? AF_INET6 : AF_INET;
    hints->ai_flags = host != NULL ? AI_CANONNAME : (AI_PASSIVE | AI_NUMERICHOST);
    if (protocol == IPPROTO_UDP) {
        hints->ai_socktype = SOCK_DGRAM;
        hints->ai_protocol = IPPROTO_UDP;
    } else {
        hints->ai_socktype = SOCK_STREAM;
        hints->ai_protocol = IPPROTO_TCP;
    }
}

/* The entry of list to use, or NULL when none qualifies; it points into list.
 * Prefer IPv6 when it is switched on, but fall back to the first IPv4 entry;
 * without IPv6 only IPv4 entries qualify. */
static struct addrinfo *ChooseEntry(struct addrinfo *list, int ipv6)
{
    struct addrinfo *entry;
    struct addrinfo *chosen = NULL;

    for (entry = list; entry != NULL; entry = entry->ai_next) {
        if (ipv6 && entry->ai_family == AF_INET6)
            return entry;
        if (entry->ai_family == AF_INET && chosen == NULL) {
            chosen = entry;
            if (!ipv6)
                break;
        }
    }
    return chosen;
}

KXStatus ResolveHostNameReason(const char *host, unsigned short port, struct addrinfo **list,
                               struct addrinfo **chosen, int protocol, int *reason, KXLog *log)
{
    int ipv6 = IsIPv6Enabled();
    struct addrinfo hints;
    char service[8] = "";
    int family = 0;
    int result;

    if (list == NULL || chosen == NULL)
        return ERROR_PARAMETER;
    FillHints(&hints, host, protocol, ipv6);
    if (port != 0)
        snprintf(service, sizeof(service), "%hu", port);

    *list = NULL;
    *chosen = NULL;
    result = getaddrinfo(host, service, &hints, list);
    if (result != 0) {
        int savedErrno = errno;

        *list = NULL;
        if (reason != NULL)
            *reason = result;
        KXLogWrite(log, "ResolveHostName(%s): getaddrinfo() failed (result=%d): %s",
                   host != NULL ? host : "(null)", result, gai_strerror(result));
        errno = savedErrno;
        return ERROR_ADDRINFO;
    }

    *chosen = ChooseEntry(*list, ipv6);
    if (*chosen == NULL) {
        KXLogWrite(log, "ResolveHostName(%s): invalid protocol version: %d",
                   host != NULL ? host : "(null)", family);
        freeaddrinfo(*list);
        *list = NULL;
        if (reason != NULL)
            *reason = EAI_ADDRFAMILY;
        return ERROR_ADDRESS_FAMILY;
    }
    return ERROR_NONE;
}

KXStatus GetLocalIPs(KXStringList *list, KXLog *log)
{
    int ipv6 = IsIPv6Enabled();
    char hostname[KX_HOSTADDR_SIZE];
    char address[KX_HOSTADDR_SIZE];
    struct addrinfo *result = NULL;
    struct addrinfo *chosen = NULL;
    struct addrinfo *entry;
    char *dot;
    KXStatus status;
    int rc;

    if (list == NULL) {
        KXLogWrite(log, "GetLocalIPs(): wrong paramters passed to procedure");
        return ERROR_PARAMETER;
    }
    rc = gethostname(hostname, sizeof(hostname));
    if (rc != 0) {
        KXLogWrite(log, "GetLocalIPs(): gethostname() failed (result=%d)", rc);
        return ERROR_HOSTNAME;
    }
    hostname[sizeof(hostname) - 1] = '\0';

    status = ResolveHostName(hostname, 0, &result, &chosen, IPPROTO_TCP, log);
    if (status != ERROR_NONE)
        return status;

    for (entry = result; entry != NULL; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6)
            continue;
        rc = getnameinfo(entry->ai_addr, entry->ai_addrlen, address, sizeof(address), NULL, 0,
                         NI_NUMERICHOST | NI_NUMERICSERV);
        if (rc != 0) {
            KXLogWrite(log, "GetLocalIPs(): getnameinfo(%s) failed (result=%d): %s", hostname, rc,
                       gai_strerror(rc));
            break;
        }
        if (KXStringListAdd(list, address) != ERROR_NONE)
            break;
    }

    (void)KXStringListAdd(list, hostname);
    dot = strchr(hostname, '.');
    if (dot != NULL) {
        *dot = '\0';
        (void)KXStringListAdd(list, hostname);
    }
    (void)KXStringListAdd(list, "127.0.0.1");
    status = KXStringListAdd(list, "localhost");
    if (ipv6) {
        (void)KXStringListAdd(list, "::1");
        status = KXStringListAdd(list, "ipv6-localhost");
    }
    freeaddrinfo(result);
    return status;
}

KXStatus GetPrimaryIP(char *buffer, KXLog *log)
{
    KXStringList *list = NULL;
    KXStatus status;
    char *first;

    if (buffer == NULL)
        return ERROR_PARAMETER;
    status = KXStringListNew(&list);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "GetFirstLocalIP(): cannot create list");
        return status;
    }
    status = GetLocalIPs(list, log);
    if (status == ERROR_NONE) {
        first = KXStringListElementAt(list, 0, &status);
        if (status != ERROR_NONE) {
            KXLogWrite(log, "GetFirstLocalIP(): cannot access entry in list");
        } else {
            strncpy(buffer, first, KX_HOSTADDR_SIZE - 1);
            buffer[KX_HOSTADDR_SIZE - 1] = '\0';
        }
    }
    (void)KXStringListFree(&list);
    return status;
}

/* 1 when any address of the list has the numeric text `literal`. */
static int ListHasAddress(struct addrinfo *list, const char *literal)
{
    char address[KX_HOSTADDR_SIZE];
    struct addrinfo *entry;

    for (entry = list; entry != NULL; entry = entry->ai_next) {
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, address, sizeof(address), NULL, 0,
                        NI_NUMERICHOST | NI_NUMERICSERV) != 0)
            continue;
        if (strcmp(address, literal) == 0)
            return 1;
    }
    return 0;
}

/* 1 when the two lists share an address. */
static int ListsShareAddress(struct addrinfo *first, struct addrinfo *second)
{
    char address[KX_HOSTADDR_SIZE];
    struct addrinfo *entry;

    for (entry = first; entry != NULL; entry = entry->ai_next) {
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, address, sizeof(address), NULL, 0,
                        NI_NUMERICHOST | NI_NUMERICSERV) != 0)
            continue;
        if (ListHasAddress(second, address))
            return 1;
    }
    return 0;
}

int CompareHostAddr(const char *hostName1, const char *hostName2, KXLog *log)
{
    struct addrinfo *list1 = NULL, *list2 = NULL, *chosen = NULL;
    int literal1, literal2;
    int result = -1;

    if (hostName1 == NULL) {
        KXLogWrite(log, "CompareHostAddr(): parameter hostName1 mustn't be NULL");
        return ERROR_PARAMETER;
    }
    if (hostName2 == NULL) {
        KXLogWrite(log, "CompareHostAddr(): parameter hostName2 mustn't be NULL");
        return ERROR_PARAMETER;
    }
    if (hostName1[0] == '\0' || hostName2[0] == '\0')
        return -1;

    literal1 = IsAddressLiteral(hostName1);
    literal2 = IsAddressLiteral(hostName2);
    /* Addresses are compared as text: only identical spellings match. */
    if (literal1 && literal2)
        return strcmp(hostName1, hostName2);

    if (!literal1 && !literal2) {
        if (ResolveHostName(hostName1, 0, &list1, &chosen, IPPROTO_TCP, log) == ERROR_NONE &&
            ResolveHostName(hostName2, 0, &list2, &chosen, IPPROTO_TCP, log) == ERROR_NONE)
            result = ListsShareAddress(list1, list2) ? 0 : -1;
    } else {
        const char *name = literal1 ? hostName2 : hostName1;
        const char *literal = literal1 ? hostName1 : hostName2;

        if (ResolveHostName(name, 0, &list1, &chosen, IPPROTO_TCP, log) == ERROR_NONE)
            result = ListHasAddress(list1, literal) ? 0 : -1;
    }
    if (list1 != NULL)
        freeaddrinfo(list1);
    if (list2 != NULL)
        freeaddrinfo(list2);
    return result;
}

int ParseSocket(char *text, unsigned short *port, void *enable)
{
    char *colon;
    unsigned short number;

    if (enable == NULL || text == NULL || port == NULL)
        return 1;
    colon = strrchr(text, ':');
    if (colon == NULL)
        return 1;
    if (sscanf(colon + 1, "%hu", &number) != 1)
        return 1;
    *port = number;
    *colon = '\0';
    return 0;
}
