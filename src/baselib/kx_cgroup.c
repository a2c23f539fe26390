/* The operations on the cgroups the service creates: opened and walked
 * without following links, filled, emptied, watched and read; see
 * kx_cgroup.h for what each promises. */
#include "baselib/kx_cgroup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "baselib/kx_procstat.h"

#define KX_CGROUP_KILL_ROUNDS 8

static const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

/* Opens the directory component below dirFd, making it first when it is
 * not there and create is set (*made, may be null, says so); dirFd stays
 * open. */
static KXStatus OpenChild(int dirFd, const char *component, int create, int *next, int *made)
{
    int fd = openat(dirFd, component, kDirFlags);

    if (made != NULL)
        *made = 0;
    if (fd < 0 && errno == ENOENT && create) {
        int result = mkdirat(dirFd, component, 0755);

        if (result != 0 && errno != EEXIST)
            return ERROR_FILE;
        if (made != NULL)
            *made = result == 0;
        fd = openat(dirFd, component, kDirFlags);
    }
    if (fd < 0)
        return errno == ENOENT ? ERROR_NOT_FOUND : ERROR_FILE_OPEN;
    *next = fd;
    return ERROR_NONE;
}

/* OpenChild, with dirFd closed whatever the outcome. */
static KXStatus Step(int dirFd, const char *component, int create, int *next)
{
    KXStatus status = OpenChild(dirFd, component, create, next, NULL);

    CloseKeepingErrno(dirFd);
    return status;
}

/* Walks the '/'-separated components of path below *fd, one openat() with
 * O_NOFOLLOW each, so that no symbolic link on the way is followed. */
static KXStatus Walk(int *fd, const char *path, int create, int checkNames)
{
    char component[NAME_MAX + 1];
    const char *p = path;
    KXStatus status = ERROR_NONE;

    while (status == ERROR_NONE && p != NULL && *p != '\0') {
        const char *slash = strchr(p, '/');
        size_t length = slash != NULL ? (size_t)(slash - p) : strlen(p);
        if (length > NAME_MAX)
            return ERROR_BUFFER_SIZE;
        memcpy(component, p, length);
        component[length] = '\0';
        p = slash != NULL ? slash + 1 : NULL;
        if (length == 0)
            continue;
        if ((checkNames && !KXCgroupNameIsSafe(component)) || strcmp(component, "..") == 0) {
            close(*fd);
            errno = EINVAL;
            return ERROR_PARAMETER;
        }
        status = Step(*fd, component, create, fd);
    }
    return status;
}

KXStatus KXCgroupOpenPlace(const KXCgroupPlace *place, const char *sub, int create, int *dirFd)
{
    KXStatus status;
    int fd;

    if (place == NULL || dirFd == NULL || place->mount[0] != '/')
        return ERROR_PARAMETER;
    fd = open(place->mount, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    status = Walk(&fd, place->own, 0, 0);
    if (status == ERROR_NONE)
        status = Walk(&fd, sub, create, 1);
    if (status == ERROR_NONE)
        *dirFd = fd;
    return status;
}

KXStatus KXCgroupCreate(int parentFd, const char *name, int *dirFd, int *made)
{
    if (name == NULL || dirFd == NULL || !KXCgroupNameIsSafe(name))
        return ERROR_PARAMETER;
    /* A server's cgroup is kept across its restarts: one openat finds it. */
    return OpenChild(parentFd, name, 1, dirFd, made);
}

KXStatus KXCgroupRemove(int parentFd, const char *name)
{
    if (name == NULL || !KXCgroupNameIsSafe(name))
        return ERROR_PARAMETER;
    if (unlinkat(parentFd, name, AT_REMOVEDIR) == 0)
        return ERROR_NONE;
    if (errno == ENOENT)
        return ERROR_NOT_FOUND;
    return errno == EBUSY || errno == ENOTEMPTY ? ERROR_STATE : ERROR_FILE;
}

/* Writes the whole of text to dirFd/name, a control file of the cgroup. */
static KXStatus WriteControl(int dirFd, const char *name, const char *text)
{
    size_t length = strlen(text);
    ssize_t written;
    int fd = openat(dirFd, name, O_WRONLY | O_CLOEXEC | O_NOFOLLOW);

    if (fd < 0)
        return errno == ENOENT ? ERROR_NOT_FOUND : ERROR_FILE_OPEN;
    do
        written = write(fd, text, length);
    while (written < 0 && errno == EINTR);
    if (written != (ssize_t)length) {
        if (written >= 0)
            errno = EIO;
        CloseKeepingErrno(fd);
        return ERROR_FILE_IO;
    }
    return close(fd) == 0 ? ERROR_NONE : ERROR_FILE_IO;
}

/* Each pid of a cgroup.procs text, at most capacity of them. */
static KXStatus ParsePids(const char *text, pid_t *pids, size_t capacity, size_t *count)
{
    const char *p = text;
    size_t found = 0;

    while (*p != '\0') {
        char *end;
        long value = strtol(p, &end, 10);
        if (end == p)
            break;
        if (value > 0) {
            if (found == capacity) {
                *count = found;
                return ERROR_BUFFER_SIZE;
            }
            pids[found++] = (pid_t)value;
        }
        p = end;
        while (*p == '\n' || *p == ' ')
            p++;
    }
    *count = found;
    return ERROR_NONE;
}

KXStatus KXCgroupMembers(int dirFd, pid_t *pids, size_t capacity, size_t *count)
{
    /* A pid is at most 7 digits and a line feed; a few spare for the probe. */
    size_t size = (capacity < 65536 ? capacity : 65536) * 8 + 16;
    KXStatus status;
    char *text;

    if ((pids == NULL && capacity > 0) || count == NULL)
        return ERROR_PARAMETER;
    *count = 0;
    text = malloc(size);
    if (text == NULL)
        return ERROR_MEMORY;
    status = KXReadSmallFileAt(dirFd, "cgroup.procs", text, size, NULL);
    if (status == ERROR_NONE || status == ERROR_BUFFER_SIZE) {
        KXStatus parsed = ParsePids(text, pids, capacity, count);
        if (status == ERROR_NONE)
            status = parsed;
    }
    free(text);
    return status;
}

KXStatus KXCgroupMoveProcess(int dirFd, pid_t pid)
{
    char text[24];

    if (pid <= 0)
        return ERROR_PARAMETER;
    snprintf(text, sizeof text, "%d\n", (int)pid);
    return WriteControl(dirFd, "cgroup.procs", text);
}

KXStatus KXCgroupEnableControllers(int dirFd, const char *controllers)
{
    const char *p;

    if (controllers == NULL || *controllers == '\0')
        return ERROR_PARAMETER;
    for (p = controllers; *p != '\0'; p++)
        if (!((*p >= 'a' && *p <= 'z') || *p == ' ' || *p == '+' || *p == '-'))
            return ERROR_PARAMETER;
    return WriteControl(dirFd, "cgroup.subtree_control", controllers);
}

/* SIGKILL to every member, for kernels without cgroup.kill; a process that
 * forks meanwhile lands in the cgroup too, so a few rounds catch it. */
static KXStatus KillEachMember(int dirFd)
{
    pid_t pids[1024];
    size_t count = 0;
    size_t i;
    int round;

    for (round = 0; round < KX_CGROUP_KILL_ROUNDS; round++) {
        KXStatus status = KXCgroupMembers(dirFd, pids, sizeof pids / sizeof pids[0], &count);
        if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
            return status;
        if (count == 0)
            return ERROR_NONE;
        for (i = 0; i < count; i++)
            if (kill(pids[i], SIGKILL) != 0 && errno != ESRCH)
                return ERROR_GENERAL;
    }
    return ERROR_NONE;
}

KXStatus KXCgroupKill(int dirFd)
{
    KXStatus status = WriteControl(dirFd, "cgroup.kill", "1");

    if (status == ERROR_NOT_FOUND)
        return KillEachMember(dirFd);
    return status;
}

KXStatus KXCgroupListMembers(int dirFd, pid_t *small, size_t smallCount, pid_t **pids,
                             size_t *count)
{
    KXStatus status = KXCgroupMembers(dirFd, small, smallCount, count);

    *pids = small;
    if (status != ERROR_BUFFER_SIZE)
        return status;
    *pids = malloc(KX_CGROUP_MAX_LISTED * sizeof **pids);
    if (*pids == NULL) {
        *pids = small;
        return status;
    }
    status = KXCgroupMembers(dirFd, *pids, KX_CGROUP_MAX_LISTED, count);
    return status == ERROR_BUFFER_SIZE ? ERROR_NONE : status;
}

KXStatus KXCgroupTerminate(int dirFd, pid_t skip, size_t *signalled)
{
    pid_t small[1024];
    pid_t *pids;
    size_t count = 0;
    size_t reached = 0;
    size_t i;
    KXStatus status = KXCgroupListMembers(dirFd, small, sizeof small / sizeof small[0], &pids, &count);

    if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
        return status;
    for (i = 0; i < count && status != ERROR_GENERAL; i++) {
        if (pids[i] == skip)
            continue;
        if (kill(pids[i], SIGTERM) != 0) {
            if (errno != ESRCH)
                status = ERROR_GENERAL;
            continue;
        }
        if (kill(pids[i], SIGCONT) != 0 && errno != ESRCH)
            status = ERROR_GENERAL;
        else
            reached++;
    }
    if (pids != small)
        free(pids);
    if (signalled != NULL)
        *signalled = reached;
    return status;
}

KXStatus KXCgroupOpenEvents(int dirFd, int *eventsFd)
{
    int fd;

    if (eventsFd == NULL)
        return ERROR_PARAMETER;
    fd = openat(dirFd, "cgroup.events", O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    *eventsFd = fd;
    return ERROR_NONE;
}

/* The number after "key " at the start of a line of text. */
static KXStatus FindKey(const char *text, const char *key, uint64_t *value)
{
    size_t keyLength = strlen(key);
    const char *line = text;

    while (line != NULL && *line != '\0') {
        if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ' ') {
            char *end;
            errno = 0;
            *value = strtoull(line + keyLength + 1, &end, 10);
            return errno == 0 && end != line + keyLength + 1 ? ERROR_NONE : ERROR_NO_NUMBER;
        }
        line = strchr(line, '\n');
        if (line != NULL)
            line++;
    }
    return ERROR_NOT_FOUND;
}

KXStatus KXCgroupPopulated(int eventsFd, int *populated)
{
    char text[256];
    ssize_t length;
    uint64_t value = 0;
    KXStatus status;

    if (populated == NULL)
        return ERROR_PARAMETER;
    do
        length = pread(eventsFd, text, sizeof text - 1, 0);
    while (length < 0 && errno == EINTR);
    if (length < 0)
        return ERROR_FILE_IO;
    text[length] = '\0';
    status = FindKey(text, "populated", &value);
    if (status == ERROR_NONE)
        *populated = value != 0;
    return status;
}

/* The value of `key` in the flat-keyed file `name` of the cgroup dirFd. */
static KXStatus ReadKey(int dirFd, const char *name, const char *key, uint64_t *value)
{
    char text[1024];
    KXStatus status = KXReadSmallFileAt(dirFd, name, text, sizeof text, NULL);

    if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
        return status;
    return FindKey(text, key, value);
}

KXStatus KXCgroupFrozen(int dirFd, int *frozen)
{
    uint64_t value = 0;

    if (frozen == NULL)
        return ERROR_PARAMETER;
    /* Kernels without the freezer have no such key: nothing is frozen. */
    *frozen = ReadKey(dirFd, "cgroup.events", "frozen", &value) == ERROR_NONE && value != 0;
    return ERROR_NONE;
}

KXStatus KXCgroupCpuUsec(int dirFd, uint64_t *usec)
{
    if (usec == NULL)
        return ERROR_PARAMETER;
    return ReadKey(dirFd, "cpu.stat", "usage_usec", usec);
}

typedef struct ChildVisit {
    int (*visit)(const char *name, void *context);
    void *context;
} ChildVisit;

static int VisitChildEntry(const char *name, unsigned char type, void *context)
{
    const ChildVisit *childVisit = context;

    /* Child cgroups are the only directories; cgroupfs always sets d_type. */
    if (type != DT_DIR || !KXCgroupNameIsSafe(name))
        return 0;
    return childVisit->visit(name, childVisit->context);
}

KXStatus KXCgroupForEachChild(int dirFd, int (*visit)(const char *name, void *context),
                              void *context)
{
    ChildVisit childVisit;

    if (visit == NULL)
        return ERROR_PARAMETER;
    childVisit.visit = visit;
    childVisit.context = context;
    return KXDirForEach(dirFd, VisitChildEntry, &childVisit, NULL);
}
