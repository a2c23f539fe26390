/* One netlink lookup of the TCP listener of an address and port, and scans
 * of /proc/PID/fd; see kx_sockdiag.h. */
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

/* Asks for the one socket a connection to address:port would reach: not a
 * dump, so the kernel looks the listener up in its hash as an arriving SYN
 * would (the exact address before the wildcard, a dual-stack "::" for an
 * IPv4 address), whatever the number of listeners on the host. */
static KXStatus SendLookup(int fd, int family, const unsigned char *address, uint16_t port)
{
    struct {
        struct nlmsghdr header;
        struct inet_diag_req_v2 request;
    } message;
    struct sockaddr_nl kernel;
    ssize_t sent;

    memset(&message, 0, sizeof message);
    memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = (uint8_t)family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    message.request.id.idiag_sport = htons(port);
    memcpy(message.request.id.idiag_src, address, family == AF_INET ? 4 : 16);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    do
        sent = sendto(fd, &message, sizeof message, 0, (struct sockaddr *)&kernel, sizeof kernel);
    while (sent < 0 && errno == EINTR);
    return sent == (ssize_t)sizeof message ? ERROR_NONE : ERROR_SOCKET_SEND;
}

/* The inode in the kernel's answer to one lookup; ENOENT is "none". */
static KXStatus ReadAnswer(const char *buffer, size_t length, uint64_t *inode)
{
    const struct nlmsghdr *header = (const struct nlmsghdr *)buffer;

    for (; NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_ERROR) {
            const struct nlmsgerr *error = NLMSG_DATA(header);
            if (error->error == -ENOENT)
                return ERROR_NOT_FOUND;
            errno = error->error < 0 ? -error->error : EPROTO;
            return ERROR_SOCKET_RECEIVE;
        }
        if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            header->nlmsg_len >= NLMSG_LENGTH(sizeof(struct inet_diag_msg))) {
            const struct inet_diag_msg *socket = NLMSG_DATA(header);
            if (socket->idiag_state != TCP_LISTEN)
                return ERROR_NOT_FOUND;
            *inode = socket->idiag_inode;
            return ERROR_NONE;
        }
    }
    errno = EPROTO;
    return ERROR_SOCKET_RECEIVE;
}

static KXStatus LookUp(int family, const unsigned char *address, uint16_t port, uint64_t *inode)
{
    char buffer[8192];
    ssize_t got;
    KXStatus status;
    int fd = OpenDiag();

    if (fd < 0)
        return ERROR_SOCKET_CREATE;
    status = SendLookup(fd, family, address, port);
    if (status == ERROR_NONE) {
        do
            got = recv(fd, buffer, sizeof buffer, 0);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            status = errno == EAGAIN || errno == EWOULDBLOCK ? ERROR_SOCKET_TIMEOUT
                                                             : ERROR_SOCKET_RECEIVE;
        else
            status = ReadAnswer(buffer, (size_t)got, inode);
    }
    CloseKeepingErrno(fd);
    return status;
}

KXStatus KXListenerInode(const char *address, unsigned port, uint64_t *inode)
{
    unsigned char binary[16];
    int family;

    if (address == NULL || inode == NULL || port == 0 || port > 65535)
        return ERROR_PARAMETER;
    memset(binary, 0, sizeof binary);
    if (inet_pton(AF_INET, address, binary) == 1)
        family = AF_INET;
    else if (inet_pton(AF_INET6, address, binary) == 1)
        family = AF_INET6;
    else
        return ERROR_ADDRESS_FAMILY;
    return LookUp(family, binary, (uint16_t)port, inode);
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
