/* What /proc says about one process, read with bounded reads through a
 * descriptor of /proc, so that scanning every process of a host costs one
 * open, one read and one close each. A process is named by its pid and its
 * start time: a pid alone may have been reused by the time it is used. */
#ifndef KX_PROCSTAT_H
#define KX_PROCSTAT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The fields of /proc/PID/stat that containment and accounting need. */
typedef struct KXProcStat {
    pid_t pid;
    pid_t ppid;
    pid_t pgrp;
    pid_t session;
    char state;          /* R, S, D, T, Z, ... */
    uint64_t utime;      /* clock ticks */
    uint64_t stime;      /* clock ticks */
    uint64_t cutime;     /* clock ticks of waited-for children */
    uint64_t cstime;
    uint64_t startTime;  /* clock ticks after boot: with pid, the identity */
    uint64_t rssPages;
} KXProcStat;

/* Parses the text of a stat file (text is zero-terminated; the command name
 * may hold blanks and parentheses, so the fields are read after the last
 * ')'). ERROR_NO_NUMBER when a field is missing or malformed. */
KXStatus KXProcStatParse(const char *text, KXProcStat *stat);

/* Opens /proc (or root, for tests) as a directory descriptor the caller owns
 * and closes; ERROR_FILE_OPEN with errno. */
KXStatus KXProcOpen(const char *root, int *procFd);

/* Reads at most size-1 bytes of dirFd/name into buffer, zero-terminated,
 * never following a symbolic link; *length (may be null) gets the count.
 * ERROR_FILE_OPEN / ERROR_FILE_IO with errno; ERROR_BUFFER_SIZE (the text
 * kept, cut) when the file holds more. */
KXStatus KXReadSmallFileAt(int dirFd, const char *name, char *buffer, size_t size,
                           size_t *length);

/* The stat of pid under procFd. ERROR_NOT_FOUND when the process is gone
 * (its directory or file vanished), ERROR_FILE_IO with errno when the read
 * failed otherwise, ERROR_NO_NUMBER when the text did not parse. A zombie
 * still has its stat: its session and start time stay readable. */
KXStatus KXProcReadStat(int procFd, pid_t pid, KXProcStat *stat);

/* True (1) when pid is still the process that started at startTime, so that
 * a signal sent now reaches it and no other; 0 otherwise (gone, reused, or
 * unreadable). */
int KXProcIsSame(int procFd, pid_t pid, uint64_t startTime);

/* The command name (/proc/PID/comm, at most 15 characters) into buffer,
 * without the line feed; printable ASCII only, others replaced by '?'.
 * Status as KXProcReadStat. */
KXStatus KXProcReadComm(int procFd, pid_t pid, char *buffer, size_t size);

/* Calls visit(name, type, context) for every entry of the directory dirFd
 * (a duplicate is read; dirFd stays the caller's) but "." and "..", with
 * the entry's d_type, until visit returns non-zero (that value goes to
 * *stopped, which may be null). ERROR_FILE_IO with errno when the listing
 * fails. */
KXStatus KXDirForEach(int dirFd, int (*visit)(const char *name, unsigned char type, void *context),
                      void *context, int *stopped);

/* Calls visit(pid, context) for every numeric entry of procFd, in directory
 * order, until visit returns non-zero (that value is returned in *stopped,
 * which may be null). ERROR_FILE_IO with errno when the listing fails. */
KXStatus KXProcForEachPid(int procFd, int (*visit)(pid_t pid, void *context), void *context,
                          int *stopped);

/* As KXProcForEachPid, with the inode number the listing gives each entry:
 * /proc gives a process's directory a new one when its pid is reused, so
 * the same pid with the same inode is the same process. */
KXStatus KXProcForEachPidInode(int procFd, int (*visit)(pid_t pid, uint64_t inode, void *context),
                               void *context, int *stopped);

#ifdef __cplusplus
}
#endif

#endif
