/* One netlink dump of the listening TCP sockets of a family, and scans of
 * /proc/PID/fd; see kx_sockdiag.h. */
#include "baselib/kx_sockdiag.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "baselib/kx_procstat.h"

/* What a dump looks for: the exact address, and the wildcard as fallback. */
typedef struct Wanted {
    int family;
    unsigned char address[16]; /* network order, as inet_diag carries it */
    uint16_t port;             /* host order */
    uint64_t exact;            /* inodes found; 0: none */
    uint64_t wildcard;
} Wanted;

static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

static int OpenDiag(void)
{
    struct timeval limit = {1, 0};
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);

    if (fd < 0)
        return -1;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        CloseKeepingErrno(fd);
        return -1;
    }
    return fd;
}

/* Asks for the listeners of one port only: the kernel filters by the
 * bytecode "source port equals `port`" (jump past the end: keep; 4 bytes
 * past it: drop), so a host with thousands of listeners sends one or two. */
static KXStatus SendDump(int fd, int family, uint16_t port)
{
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
        struct nlattr attribute;
        struct inet_diag_bc_op filter[2];
    } message;
    struct sockaddr_nl kernel;
    ssize_t sent;

    memset(&message, 0, sizeof message);
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = (uint8_t)family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    message.attribute.nla_len = (unsigned short)(NLA_HDRLEN + sizeof message.filter);
    message.attribute.nla_type = INET_DIAG_REQ_BYTECODE;
    message.filter[0].code = INET_DIAG_BC_S_EQ;
    message.filter[0].yes = (unsigned char)sizeof message.filter;
    message.filter[0].no = (unsigned short)(sizeof message.filter + 4);
    message.filter[1].no = port;
    do
        sent = sendto(fd, &message, sizeof message, 0, (struct sockaddr *)&kernel, sizeof kernel);
    while (sent < 0 && errno == EINTR);
    return sent == (ssize_t)sizeof message ? ERROR_NONE : ERROR_SOCKET_SEND;
}

static void Consider(const struct inet_diag_msg *socket, Wanted *wanted)
{
    static const unsigned char zero[16];
    static const unsigned char mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    const unsigned char *source = (const unsigned char *)socket->id.idiag_src;
    size_t length = socket->idiag_family == AF_INET ? 4 : 16;

    if (ntohs(socket->id.idiag_sport) != wanted->port)
        return;
    if (socket->idiag_family == wanted->family && memcmp(source, wanted->address, length) == 0)
        wanted->exact = socket->idiag_inode;
    else if (memcmp(source, zero, length) == 0)
        wanted->wildcard = socket->idiag_inode;
    else if (wanted->family == AF_INET && socket->idiag_family == AF_INET6 &&
             memcmp(source, mappedPrefix, 12) == 0 && memcmp(source + 12, wanted->address, 4) == 0)
        wanted->exact = socket->idiag_inode;
}

/* Walks one datagram of the dump; 1 when the dump is over. */
static int WalkReply(const char *buffer, size_t length, Wanted *wanted, KXStatus *status)
{
    const struct nlmsghdr *header = (const struct nlmsghdr *)buffer;

    for (; NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_DONE)
            return 1;
        if (header->nlmsg_type == NLMSG_ERROR) {
            const struct nlmsgerr *error = NLMSG_DATA(header);
            errno = error->error < 0 ? -error->error : EPROTO;
            *status = ERROR_SOCKET_RECEIVE;
            return 1;
        }
        if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(struct inet_diag_msg)))
            Consider(NLMSG_DATA(header), wanted);
    }
    return 0;
}

static KXStatus DumpFamily(int family, Wanted *wanted)
{
    /* The kernel's dump datagrams fit a page-sized buffer several times over. */
    static __thread char buffer[32768];
    KXStatus status;
    int rounds;
    int fd = OpenDiag();

    if (fd < 0)
        return ERROR_SOCKET_CREATE;
    status = SendDump(fd, family, wanted->port);
    /* A host with a million listeners ends the dump in far fewer rounds. */
    for (rounds = 0; status == ERROR_NONE && rounds < 100000; rounds++) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            status = errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_SOCKET_TIMEOUT
                                                             : ERROR_SOCKET_RECEIVE;
            break;
        }
        if (got == 0 || WalkReply(buffer, (size_t)got, wanted, &status))
            break;
    }
    CloseKeepingErrno(fd);
    return status;
}

KXStatus KXListenerInode(const char *address, unsigned port, uint64_t *inode)
{
    Wanted wanted;
    KXStatus status;

    if (address == NULL || inode == NULL || port == 0 || port > 65535)
        return ERROR_PARAMETER;
    memset(&wanted, 0, sizeof wanted);
    wanted.port = (uint16_t)port;
    if (inet_pton(AF_INET, address, wanted.address) == 1)
        wanted.family = AF_INET;
    else if (inet_pton(AF_INET6, address, wanted.address) == 1)
        wanted.family = AF_INET6;
    else
        return ERROR_ADDRESS_FAMILY;
    status = DumpFamily(wanted.family, &wanted);
    if (status == ERROR_NONE && wanted.exact == 0 && wanted.family == AF_INET) {
        uint64_t ownWildcard = wanted.wildcard;
        wanted.wildcard = 0;
        status = DumpFamily(AF_INET6, &wanted);
        if (ownWildcard != 0)
            wanted.wildcard = ownWildcard;
    }
    if (status != ERROR_NONE)
        return status;
    *inode = wanted.exact != 0 ? wanted.exact : wanted.wildcard;
    return *inode != 0 ? ERROR_NONE : ERROR_NOT_FOUND;
}

/* Looks at the descriptors of pid for "socket:[inode]"; *budget counts down
 * what may still be looked at. */
static int HoldsSocket(int procFd, pid_t pid, const char *link, size_t *budget)
{
    char name[32];
    char target[64];
    struct dirent *entry;
    DIR *dir;
    int fd;
    int found = 0;
    size_t seen = 0;

    snprintf(name, sizeof name, "%d/fd", (int)pid);
    fd = openat(procFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    dir = fdopendir(fd);
    if (dir == NULL) {
        close(fd);
        return 0;
    }
    while (!found && *budget > 0 && seen < KX_SOCKDIAG_MAX_FDS_PER_PROCESS &&
           (entry = readdir(dir)) != NULL) {
        ssize_t length;
        if (entry->d_name[0] == '.')
            continue;
        seen++;
        (*budget)--;
        length = readlinkat(dirfd(dir), entry->d_name, target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        found = strcmp(target, link) == 0;
    }
    closedir(dir);
    return found;
}

int KXProcessHoldsSocket(int procFd, pid_t pid, uint64_t inode)
{
    char link[40];
    size_t budget = KX_SOCKDIAG_MAX_FDS_PER_PROCESS;

    snprintf(link, sizeof link, "socket:[%llu]", (unsigned long long)inode);
    return pid > 0 && HoldsSocket(procFd, pid, link, &budget);
}

typedef struct HolderSearch {
    int procFd;
    char link[40];
    size_t budget;
    pid_t found;
} HolderSearch;

static int VisitHolder(pid_t pid, void *context)
{
    HolderSearch *search = context;

    if (HoldsSocket(search->procFd, pid, search->link, &search->budget))
        search->found = pid;
    return search->found != 0 || search->budget == 0;
}

KXStatus KXFindSocketHolder(int procFd, uint64_t inode, pid_t *pid, char *comm, size_t commSize)
{
    HolderSearch search;
    KXStatus status;

    if (pid == NULL || comm == NULL || commSize < 2)
        return ERROR_PARAMETER;
    search.procFd = procFd;
    snprintf(search.link, sizeof search.link, "socket:[%llu]", (unsigned long long)inode);
    search.budget = KX_SOCKDIAG_MAX_FDS_SCANNED;
    search.found = 0;
    status = KXProcForEachPid(procFd, VisitHolder, &search, NULL);
    if (status != ERROR_NONE)
        return status;
    if (search.found == 0)
        return ERROR_NOT_FOUND;
    *pid = search.found;
    if (KXProcReadComm(procFd, search.found, comm, commSize) != ERROR_NONE)
        snprintf(comm, commSize, "?");
    return ERROR_NONE;
}
