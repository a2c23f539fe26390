/* Subreaper, proven signals and the records of the trees; see kx_session.h. */
#include "baselib/kx_session.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "baselib/kx_cgroup.h"

KXStatus KXBecomeSubreaper(void)
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? ERROR_NONE : ERROR_GENERAL;
}

/* The wait status of a child looked at with WNOWAIT, as waitpid gives it. */
static int WaitStatusOf(const siginfo_t *info)
{
    if (info->si_code == CLD_EXITED)
        return (info->si_status & 0xff) << 8;
    return (info->si_status & 0x7f) | (info->si_code == CLD_DUMPED ? 0x80 : 0);
}

/* waitid without reaping, for `which` and `id`; 0 or -1 with errno. */
static int PeekEnd(idtype_t which, pid_t id, siginfo_t *info)
{
    int result;

    memset(info, 0, sizeof *info);
    do
        result = waitid(which, (id_t)id, info, WEXITED | WNOHANG | WNOWAIT);
    while (result != 0 && errno == EINTR);
    return result;
}

KXStatus KXPeekEndedChild(int procFd, pid_t *pid, int *status, KXProcStat *stat)
{
    siginfo_t info;

    if (pid == NULL)
        return ERROR_PARAMETER;
    if (PeekEnd(P_ALL, 0, &info) != 0)
        return errno == ECHILD ? ERROR_NOT_FOUND : ERROR_GENERAL;
    *pid = info.si_pid;
    if (status != NULL)
        *status = WaitStatusOf(&info);
    if (info.si_pid == 0 || stat == NULL)
        return ERROR_NONE;
    /* Until it is reaped the zombie keeps its stat. */
    return KXProcReadStat(procFd, info.si_pid, stat);
}

int KXPeekChildEnd(pid_t pid, int *status)
{
    siginfo_t info;

    if (pid <= 0 || PeekEnd(P_PID, pid, &info) != 0 || info.si_pid != pid)
        return 0;
    if (status != NULL)
        *status = WaitStatusOf(&info);
    return 1;
}

long KXTreeRootOf(const KXProcStat *process, const KXTreeRoot *roots, size_t rootCount,
                  const KXKnownMember *known, size_t knownCount)
{
    size_t i;

    if (process == NULL)
        return -1;
    for (i = 0; known != NULL && i < knownCount; i++)
        if (known[i].identity.pid == process->pid &&
            known[i].identity.startTime == process->startTime && known[i].root < rootCount)
            return (long)known[i].root;
    for (i = 0; roots != NULL && i < rootCount; i++)
        if (roots[i].session == process->session)
            return (long)i;
    return -1;
}

/* kill() that treats a process ended meanwhile as reached by nobody. */
static int Send(pid_t pid, int sig, int *reached)
{
    if (kill(pid, sig) == 0) {
        *reached = 1;
        return 0;
    }
    return errno == ESRCH ? 0 : -1;
}

KXStatus KXSignalProven(int procFd, const KXProcIdentity *members, size_t count, int sig,
                        size_t *signalled)
{
    size_t reached = 0;
    size_t i;

    if (members == NULL && count > 0)
        return ERROR_PARAMETER;
    for (i = 0; i < count; i++) {
        KXProcStat stat;
        int hit = 0;
        if (KXProcReadStat(procFd, members[i].pid, &stat) != ERROR_NONE ||
            stat.startTime != members[i].startTime || stat.state == 'Z')
            continue;
        if (Send(members[i].pid, sig, &hit) != 0)
            return ERROR_GENERAL;
        if (hit && sig == SIGTERM && Send(members[i].pid, SIGCONT, &hit) != 0)
            return ERROR_GENERAL;
        reached += (size_t)hit;
    }
    if (signalled != NULL)
        *signalled = reached;
    return ERROR_NONE;
}

static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

/* The text of a record: "session SID START" then "member PID START" lines. */
static char *FormatRecord(const KXTreeRoot *root, const KXProcIdentity *members, size_t count,
                          size_t *length)
{
    const size_t lineMax = 48;
    char *text;
    size_t used;
    size_t i;

    if (count > KX_TREE_RECORD_MAX_MEMBERS)
        count = KX_TREE_RECORD_MAX_MEMBERS;
    text = malloc((count + 1) * lineMax + 1);
    if (text == NULL)
        return NULL;
    used = (size_t)snprintf(text, lineMax, "session %d %" PRIu64 "\n", (int)root->session,
                            root->leaderStart);
    for (i = 0; i < count; i++)
        used += (size_t)snprintf(text + used, lineMax, "member %d %" PRIu64 "\n",
                                 (int)members[i].pid, members[i].startTime);
    *length = used;
    return text;
}

/* Writes all of text to a new file tmp of runFd and syncs nothing: a
 * record lost to a power cut leaves no process behind either. */
static KXStatus WriteNew(int runFd, const char *tmp, const char *text, size_t length)
{
    ssize_t written;
    int fd;

    if (unlinkat(runFd, tmp, 0) != 0 && errno != ENOENT)
        return ERROR_FILE;
    fd = openat(runFd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    do
        written = write(fd, text, length);
    while (written < 0 && errno == EINTR);
    if (written != (ssize_t)length) {
        if (written >= 0)
            errno = ENOSPC;
        CloseKeepingErrno(fd);
        return ERROR_FILE_IO;
    }
    return close(fd) == 0 ? ERROR_NONE : ERROR_FILE_IO;
}

KXStatus KXTreeRecordWrite(int runFd, const char *name, const KXTreeRoot *root,
                           const KXProcIdentity *members, size_t count)
{
    char tmp[256];
    size_t length = 0;
    KXStatus status;
    char *text;

    if (name == NULL || root == NULL || (members == NULL && count > 0) ||
        !KXCgroupNameIsSafe(name) || strlen(name) + 6 > sizeof tmp)
        return ERROR_PARAMETER;
    snprintf(tmp, sizeof tmp, "%s.new", name);
    text = FormatRecord(root, members, count, &length);
    if (text == NULL)
        return ERROR_MEMORY;
    status = WriteNew(runFd, tmp, text, length);
    free(text);
    if (status == ERROR_NONE && renameat(runFd, tmp, runFd, name) != 0)
        status = ERROR_FILE;
    return status;
}

/* Reads "WORD NUMBER NUMBER" at *cursor into pid and start. */
static int ReadLine(char **cursor, const char *word, pid_t *pid, uint64_t *start)
{
    size_t wordLength = strlen(word);
    char *p = *cursor;
    char *end;
    long value;

    if (strncmp(p, word, wordLength) != 0 || p[wordLength] != ' ')
        return 0;
    p += wordLength + 1;
    errno = 0;
    value = strtol(p, &end, 10);
    if (end == p || *end != ' ' || value <= 0 || value > INT32_MAX || errno != 0)
        return 0;
    p = end + 1;
    *start = strtoull(p, &end, 10);
    if (end == p || *end != '\n' || errno != 0)
        return 0;
    *pid = (pid_t)value;
    *cursor = end + 1;
    return 1;
}

KXStatus KXTreeRecordRead(int runFd, const char *name, KXTreeRoot *root,
                          KXProcIdentity *members, size_t capacity, size_t *count)
{
    const size_t size = (KX_TREE_RECORD_MAX_MEMBERS + 1) * 48 + 1;
    KXStatus status;
    char *text;
    char *cursor;
    size_t kept = 0;

    if (name == NULL || root == NULL || count == NULL || (members == NULL && capacity > 0) ||
        !KXCgroupNameIsSafe(name))
        return ERROR_PARAMETER;
    text = malloc(size);
    if (text == NULL)
        return ERROR_MEMORY;
    status = KXReadSmallFileAt(runFd, name, text, size, NULL);
    if (status == ERROR_FILE_OPEN && errno == ENOENT)
        status = ERROR_NOT_FOUND;
    cursor = text;
    if (status == ERROR_NONE && !ReadLine(&cursor, "session", &root->session, &root->leaderStart))
        status = ERROR_NO_NUMBER;
    while (status == ERROR_NONE && *cursor != '\0') {
        KXProcIdentity member;
        if (!ReadLine(&cursor, "member", &member.pid, &member.startTime))
            status = ERROR_NO_NUMBER;
        else if (kept < capacity)
            members[kept++] = member;
    }
    free(text);
    *count = status == ERROR_NONE ? kept : 0;
    return status;
}

KXStatus KXTreeRecordRemove(int runFd, const char *name)
{
    if (name == NULL || !KXCgroupNameIsSafe(name))
        return ERROR_PARAMETER;
    if (unlinkat(runFd, name, 0) != 0 && errno != ENOENT)
        return ERROR_FILE;
    return ERROR_NONE;
}

KXStatus KXTreeRecordLeftovers(int procFd, const KXTreeRoot *root, const KXProcIdentity *recorded,
                               size_t recordedCount, KXProcIdentity *left, size_t capacity,
                               size_t *count)
{
    KXProcTable table = {NULL, NULL, 0, NULL};
    KXKnownMember *known;
    KXStatus status;
    size_t i;

    if (root == NULL || count == NULL || (recorded == NULL && recordedCount > 0))
        return ERROR_PARAMETER;
    known = malloc((recordedCount + 1) * sizeof *known);
    if (known == NULL)
        return ERROR_MEMORY;
    for (i = 0; i < recordedCount; i++) {
        known[i].identity = recorded[i];
        known[i].root = 0;
    }
    status = KXProcTableRead(procFd, &table);
    if (status == ERROR_NONE)
        status = KXProcTableAssign(&table, root, 1, known, recordedCount);
    *count = 0;
    if (status == ERROR_NONE)
        KXProcTableMembers(&table, 0, left, capacity, count);
    KXProcTableFree(&table);
    free(known);
    return status;
}
