/* Who holds a listening TCP socket: the kernel's socket diagnostics
 * (netlink NETLINK_SOCK_DIAG, as ss(8) asks them) give the inode of the
 * socket that listens on an address and port, and /proc/PID/fd names the
 * processes that hold that inode ("socket:[INODE]"). So a server is known to
 * serve only when the listener is its tree's, and a foreign holder can be
 * named. */
#ifndef KX_SOCKDIAG_H
#define KX_SOCKDIAG_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Most descriptors looked at per process, and in all by one holder search,
 * so that a process with millions of descriptors cannot stall the caller. */
#define KX_SOCKDIAG_MAX_FDS_PER_PROCESS 65536
#define KX_SOCKDIAG_MAX_FDS_SCANNED 4194304

/* The inode of the TCP socket in state LISTEN that a connection to the
 * numeric address (IPv4 or IPv6 text, no brackets) and port reaches: one
 * bound to that address, else one bound to the wildcard address (an IPv4
 * address also reaches a dual-stack "::" listener). ERROR_NOT_FOUND when
 * nothing listens; ERROR_ADDRESS_FAMILY for text that is no numeric
 * address; ERROR_SOCKET_* with errno when the netlink exchange fails or
 * takes more than a second. */
KXStatus KXListenerInode(const char *address, unsigned port, uint64_t *inode);

/* 1 when process pid under procFd holds the socket inode among its open
 * descriptors (at most KX_SOCKDIAG_MAX_FDS_PER_PROCESS looked at), 0 when
 * not or when its descriptors cannot be read (gone, or not ours). */
int KXProcessHoldsSocket(int procFd, pid_t pid, uint64_t inode);

/* The first process under procFd that holds the socket inode: its pid and
 * command name (see KXProcReadComm). ERROR_NOT_FOUND when no readable
 * process holds it, or when the bound of descriptors scanned is reached. */
KXStatus KXFindSocketHolder(int procFd, uint64_t inode, pid_t *pid, char *comm, size_t commSize);

#ifdef __cplusplus
}
#endif

#endif
