/* Reading /proc/PID files through one descriptor of /proc: openat() with
 * O_NOFOLLOW, one bounded read, no stdio. */
#include "baselib/kx_procstat.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Closes fd keeping errno, which names the reason of the failure. */
static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

/* Reads one unsigned decimal field after blanks; 0 when there is none. */
static int NextNumber(const char **cursor, uint64_t *value)
{
    const char *p = *cursor;
    char *end;

    while (*p == ' ')
        p++;
    if (!isdigit((unsigned char)*p) && *p != '-')
        return 0;
    errno = 0;
    if (*p == '-') {
        (void)strtoll(p, &end, 10); /* a negative field we do not use */
        *value = 0;
    } else {
        *value = strtoull(p, &end, 10);
    }
    if (errno != 0 || end == p)
        return 0;
    *cursor = end;
    return 1;
}

KXStatus KXProcStatParse(const char *text, KXProcStat *stat)
{
    const char *close;
    const char *p;
    uint64_t fields[22]; /* fields 4..25 of proc(5) */
    int i;

    if (text == NULL || stat == NULL)
        return ERROR_PARAMETER;
    close = strrchr(text, ')');
    if (close == NULL || close[1] != ' ' || close[2] == '\0')
        return ERROR_NO_NUMBER;
    memset(stat, 0, sizeof *stat);
    stat->pid = (pid_t)atoi(text);
    stat->state = close[2];
    p = close + 3;
    for (i = 0; i < 22; i++)
        if (!NextNumber(&p, &fields[i]))
            return ERROR_NO_NUMBER;
    stat->ppid = (pid_t)fields[0];
    stat->pgrp = (pid_t)fields[1];
    stat->session = (pid_t)fields[2];
    stat->utime = fields[10];
    stat->stime = fields[11];
    stat->cutime = fields[12];
    stat->cstime = fields[13];
    stat->startTime = fields[18];
    stat->rssPages = fields[20];
    return stat->pid > 0 ? ERROR_NONE : ERROR_NO_NUMBER;
}

KXStatus KXProcOpen(const char *root, int *procFd)
{
    int fd;

    if (root == NULL || procFd == NULL)
        return ERROR_PARAMETER;
    fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    *procFd = fd;
    return ERROR_NONE;
}

KXStatus KXReadSmallFileAt(int dirFd, const char *name, char *buffer, size_t size,
                           size_t *length)
{
    size_t total = 0;
    ssize_t got;
    int fd;

    if (name == NULL || buffer == NULL || size < 2)
        return ERROR_PARAMETER;
    do
        fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    /* Files of /proc and of a cgroup are produced at once; a short read
     * only means the rest follows on the next one. */
    while (total < size - 1) {
        got = read(fd, buffer + total, size - 1 - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            CloseKeepingErrno(fd);
            buffer[total] = '\0';
            return ERROR_FILE_IO;
        }
        if (got == 0)
            break;
        total += (size_t)got;
    }
    buffer[total] = '\0';
    if (length != NULL)
        *length = total;
    if (total == size - 1) {
        char probe;
        got = read(fd, &probe, 1);
        close(fd);
        return got > 0 ? ERROR_BUFFER_SIZE : ERROR_NONE;
    }
    close(fd);
    return ERROR_NONE;
}

/* "PID/file" for openat under /proc. */
static void ProcName(char *name, size_t size, pid_t pid, const char *file)
{
    snprintf(name, size, "%d/%s", (int)pid, file);
}

static KXStatus ReadProcFile(int procFd, pid_t pid, const char *file, char *buffer, size_t size)
{
    char name[64];
    KXStatus status;

    if (pid <= 0)
        return ERROR_PARAMETER;
    ProcName(name, sizeof name, pid, file);
    status = KXReadSmallFileAt(procFd, name, buffer, size, NULL);
    /* A process that ended between listing and reading is simply gone. */
    if ((status == ERROR_FILE_OPEN || status == ERROR_FILE_IO) && (errno == ENOENT || errno == ESRCH))
        return ERROR_NOT_FOUND;
    if (status == ERROR_FILE_OPEN)
        return ERROR_FILE_IO;
    return status;
}

KXStatus KXProcReadStat(int procFd, pid_t pid, KXProcStat *stat)
{
    char text[1024];
    KXStatus status;

    if (stat == NULL)
        return ERROR_PARAMETER;
    status = ReadProcFile(procFd, pid, "stat", text, sizeof text);
    if (status != ERROR_NONE)
        return status;
    return KXProcStatParse(text, stat);
}

int KXProcIsSame(int procFd, pid_t pid, uint64_t startTime)
{
    KXProcStat stat;

    return KXProcReadStat(procFd, pid, &stat) == ERROR_NONE && stat.pid == pid &&
           stat.startTime == startTime;
}

KXStatus KXProcReadComm(int procFd, pid_t pid, char *buffer, size_t size)
{
    KXStatus status;
    size_t i;

    if (buffer == NULL || size < 2)
        return ERROR_PARAMETER;
    status = ReadProcFile(procFd, pid, "comm", buffer, size);
    if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
        return status;
    for (i = 0; buffer[i] != '\0'; i++) {
        if (buffer[i] == '\n') {
            buffer[i] = '\0';
            break;
        }
        if ((unsigned char)buffer[i] < 0x20 || (unsigned char)buffer[i] >= 0x7f)
            buffer[i] = '?';
    }
    return ERROR_NONE;
}

/* A pid as /proc names it: decimal digits only, within pid_t. */
static pid_t PidOfName(const char *name)
{
    long value = 0;
    const char *p;

    if (*name == '\0')
        return 0;
    for (p = name; *p != '\0'; p++) {
        if (*p < '0' || *p > '9' || value > 100000000L)
            return 0;
        value = value * 10 + (*p - '0');
    }
    return (pid_t)value;
}

/* What a listing calls for each entry: one of the three visitors. */
typedef struct EntryVisit {
    int (*name)(const char *name, unsigned char type, void *context);
    int (*pid)(pid_t pid, void *context);
    int (*pidInode)(pid_t pid, uint64_t inode, void *context);
    void *context;
} EntryVisit;

static int VisitEntry(const EntryVisit *visit, const struct dirent *entry)
{
    pid_t pid;

    if (visit->name != NULL)
        return visit->name(entry->d_name, entry->d_type, visit->context);
    pid = PidOfName(entry->d_name);
    if (pid <= 0)
        return 0;
    if (visit->pid != NULL)
        return visit->pid(pid, visit->context);
    return visit->pidInode(pid, (uint64_t)entry->d_ino, visit->context);
}

/* Calls visit for every entry of dirFd but "." and ".."; see KXDirForEach. */
static KXStatus ForEachEntry(int dirFd, const EntryVisit *visit, int *stopped)
{
    struct dirent *entry;
    DIR *dir;
    int fd;
    int result = 0;

    /* fdopendir takes the descriptor: a duplicate keeps dirFd the caller's. */
    fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return ERROR_FILE_IO;
    dir = fdopendir(fd);
    if (dir == NULL) {
        CloseKeepingErrno(fd);
        return ERROR_FILE_IO;
    }
    errno = 0;
    while (result == 0 && (entry = readdir(dir)) != NULL) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            result = VisitEntry(visit, entry);
        errno = 0;
    }
    if (result == 0 && errno != 0) {
        int savedErrno = errno;
        closedir(dir);
        errno = savedErrno;
        return ERROR_FILE_IO;
    }
    closedir(dir);
    if (stopped != NULL)
        *stopped = result;
    return ERROR_NONE;
}

KXStatus KXDirForEach(int dirFd, int (*visit)(const char *name, unsigned char type, void *context),
                      void *context, int *stopped)
{
    const EntryVisit entryVisit = {visit, NULL, NULL, context};

    return visit != NULL ? ForEachEntry(dirFd, &entryVisit, stopped) : ERROR_PARAMETER;
}

KXStatus KXProcForEachPid(int procFd, int (*visit)(pid_t pid, void *context), void *context,
                          int *stopped)
{
    const EntryVisit entryVisit = {NULL, visit, NULL, context};

    return visit != NULL ? ForEachEntry(procFd, &entryVisit, stopped) : ERROR_PARAMETER;
}

KXStatus KXProcForEachPidInode(int procFd, int (*visit)(pid_t pid, uint64_t inode, void *context),
                               void *context, int *stopped)
{
    const EntryVisit entryVisit = {NULL, NULL, visit, context};

    return visit != NULL ? ForEachEntry(procFd, &entryVisit, stopped) : ERROR_PARAMETER;
}
