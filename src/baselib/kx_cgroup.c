/* cgroup v2 discovery and the operations on one server's cgroup; see
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
#include <sys/xattr.h>
#include <unistd.h>

#include "baselib/kx_procstat.h"

#define KX_CGROUP_NAME_MAX 200
#define KX_CGROUP_KILL_ROUNDS 8

static const int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

static int IsOctal(char c)
{
    return c >= '0' && c <= '7';
}

/* Copies a mountinfo field, undoing the kernel's \ooo escapes. */
static KXStatus CopyUnescaped(const char *from, size_t length, char *to, size_t size)
{
    size_t in = 0;
    size_t out = 0;

    while (in < length) {
        char c = from[in];
        if (c == '\\' && in + 3 < length && IsOctal(from[in + 1]) && IsOctal(from[in + 2]) &&
            IsOctal(from[in + 3])) {
            c = (char)(((from[in + 1] - '0') << 6) | ((from[in + 2] - '0') << 3) | (from[in + 3] - '0'));
            in += 4;
        } else {
            in++;
        }
        if (out + 1 >= size)
            return ERROR_BUFFER_SIZE;
        to[out++] = c;
    }
    to[out] = '\0';
    return ERROR_NONE;
}

KXStatus KXCgroupParseMountinfo(const char *text, char *mount, size_t size)
{
    const char *line = text;

    if (text == NULL || mount == NULL || size == 0)
        return ERROR_PARAMETER;
    while (*line != '\0') {
        const char *end = strchr(line, '\n');
        size_t length = end != NULL ? (size_t)(end - line) : strlen(line);
        const char *dash = memmem(line, length, " - cgroup2 ", 11);
        if (dash != NULL) {
            /* Fields: id parent major:minor root mountpoint ... */
            const char *field = line;
            int skipped;
            for (skipped = 0; skipped < 4 && field != NULL && field < dash; skipped++) {
                field = memchr(field, ' ', (size_t)(dash - field));
                if (field != NULL)
                    field++;
            }
            if (field != NULL && field < dash) {
                const char *stop = memchr(field, ' ', (size_t)(dash - field));
                if (stop == NULL)
                    stop = dash;
                return CopyUnescaped(field, (size_t)(stop - field), mount, size);
            }
        }
        line = end != NULL ? end + 1 : line + length;
    }
    return ERROR_NOT_FOUND;
}

KXStatus KXCgroupParseOwn(const char *text, char *own, size_t size)
{
    const char *line = text;

    if (text == NULL || own == NULL || size == 0)
        return ERROR_PARAMETER;
    while (*line != '\0') {
        const char *end = strchr(line, '\n');
        size_t length = end != NULL ? (size_t)(end - line) : strlen(line);
        if (length > 3 && strncmp(line, "0::", 3) == 0) {
            static const char deleted[] = " (deleted)";
            if (line[3] != '/' || length - 3 >= size)
                return ERROR_BUFFER_SIZE;
            if (length >= 3 + sizeof deleted - 1 &&
                memcmp(line + length - (sizeof deleted - 1), deleted, sizeof deleted - 1) == 0)
                return ERROR_NOT_FOUND;
            memcpy(own, line + 3, length - 3);
            own[length - 3] = '\0';
            return ERROR_NONE;
        }
        line = end != NULL ? end + 1 : line + length;
    }
    return ERROR_NOT_FOUND;
}

/* Drops a trailing "/leaf" of own (never the whole path). */
static void DropLeaf(char *own, const char *leaf)
{
    size_t ownLength = strlen(own);
    size_t leafLength;

    if (leaf == NULL || *leaf == '\0')
        return;
    leafLength = strlen(leaf);
    if (ownLength > leafLength + 1 && own[ownLength - leafLength - 1] == '/' &&
        strcmp(own + ownLength - leafLength, leaf) == 0)
        own[ownLength - leafLength - 1] = '\0';
    else if (ownLength == leafLength + 1 && own[0] == '/' && strcmp(own + 1, leaf) == 0)
        own[1] = '\0';
}

KXStatus KXCgroupLocate(const char *leaf, KXCgroupPlace *place)
{
    const size_t size = 256 * 1024; /* mountinfo of a busy host: bounded */
    char *text;
    KXStatus status;

    if (place == NULL)
        return ERROR_PARAMETER;
    memset(place, 0, sizeof *place);
    text = malloc(size);
    if (text == NULL)
        return ERROR_MEMORY;
    status = KXReadSmallFileAt(AT_FDCWD, "/proc/self/mountinfo", text, size, NULL);
    if (status == ERROR_NONE || status == ERROR_BUFFER_SIZE)
        status = KXCgroupParseMountinfo(text, place->mount, sizeof place->mount);
    if (status == ERROR_NONE)
        status = KXReadSmallFileAt(AT_FDCWD, "/proc/self/cgroup", text, 8192, NULL);
    if (status == ERROR_NONE)
        status = KXCgroupParseOwn(text, place->own, sizeof place->own);
    if (status == ERROR_NONE)
        DropLeaf(place->own, leaf);
    free(text);
    return status;
}

/* Steps from dirFd into one component, creating it when asked; dirFd is
 * closed, the new directory's descriptor returned in *next. */
static KXStatus Step(int dirFd, const char *component, int create, int *next)
{
    int fd = openat(dirFd, component, kDirFlags);

    if (fd < 0 && errno == ENOENT && create) {
        if (mkdirat(dirFd, component, 0755) != 0 && errno != EEXIST) {
            CloseKeepingErrno(dirFd);
            return ERROR_FILE;
        }
        fd = openat(dirFd, component, kDirFlags);
    }
    CloseKeepingErrno(dirFd);
    if (fd < 0)
        return errno == ENOENT ? ERROR_NOT_FOUND : ERROR_FILE_OPEN;
    *next = fd;
    return ERROR_NONE;
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

/* 1 when the directory carries systemd's mark of a delegated cgroup. */
static int IsMarkedDelegated(int dirFd)
{
    static const char *const names[] = {"trusted.delegate", "user.delegate"};
    char value[8];
    size_t i;

    for (i = 0; i < sizeof names / sizeof names[0]; i++) {
        ssize_t length = fgetxattr(dirFd, names[i], value, sizeof value - 1);
        if (length == 1 && value[0] == '1')
            return 1;
    }
    return 0;
}

static int EndsWith(const char *text, const char *suffix)
{
    size_t textLength = strlen(text);
    size_t suffixLength = strlen(suffix);

    return textLength >= suffixLength && strcmp(text + textLength - suffixLength, suffix) == 0;
}

KXStatus KXCgroupDecide(const KXCgroupPlace *place, KXCgroupVerdict *verdict)
{
    char type[64];
    int fd;

    if (place == NULL || verdict == NULL)
        return ERROR_PARAMETER;
    if (place->mount[0] != '/')
        *verdict = KXCGROUP_NO_MOUNT;
    else if (place->own[0] != '/')
        *verdict = KXCGROUP_NO_OWN;
    else if (KXCgroupOpenPlace(place, NULL, 0, &fd) != ERROR_NONE)
        *verdict = KXCGROUP_NOT_VISIBLE;
    else {
        /* The root cgroup has no cgroup.type; a threaded one takes threads only. */
        if (KXReadSmallFileAt(fd, "cgroup.type", type, sizeof type, NULL) == ERROR_NONE &&
            (strncmp(type, "threaded", 8) == 0 || strncmp(type, "domain invalid", 14) == 0))
            *verdict = KXCGROUP_THREADED;
        else if (faccessat(fd, ".", W_OK, AT_EACCESS) != 0 ||
                 faccessat(fd, "cgroup.procs", W_OK, AT_EACCESS) != 0)
            *verdict = KXCGROUP_NOT_WRITABLE;
        else if ((EndsWith(place->own, ".service") || EndsWith(place->own, ".scope")) &&
                 !IsMarkedDelegated(fd))
            *verdict = KXCGROUP_NOT_DELEGATED;
        else
            *verdict = KXCGROUP_USABLE;
        close(fd);
    }
    return ERROR_NONE;
}

const char *KXCgroupVerdictText(KXCgroupVerdict verdict)
{
    switch (verdict) {
    case KXCGROUP_USABLE:
        return "cgroups can be created below the service's own cgroup";
    case KXCGROUP_NO_MOUNT:
        return "no cgroup2 file system is mounted";
    case KXCGROUP_NO_OWN:
        return "the service is in no cgroup of the unified hierarchy";
    case KXCGROUP_NOT_VISIBLE:
        return "the service's cgroup is not visible below the cgroup2 mount";
    case KXCGROUP_THREADED:
        return "the service's cgroup is a threaded one";
    case KXCGROUP_NOT_WRITABLE:
        return "the service may not write its cgroup";
    case KXCGROUP_NOT_DELEGATED:
        return "the service's systemd unit has no Delegate=yes";
    }
    return "unknown";
}

int KXCgroupNameIsSafe(const char *name)
{
    static const char *const reserved[] = {"cgroup.", "cpu.", "io.", "memory.", "pids.",
                                           "cpuset.", "hugetlb.", "rdma.", "misc."};
    size_t length;
    size_t i;

    if (name == NULL)
        return 0;
    length = strlen(name);
    if (length == 0 || length > KX_CGROUP_NAME_MAX || strcmp(name, ".") == 0 ||
        strcmp(name, "..") == 0)
        return 0;
    for (i = 0; i < length; i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return 0;
    }
    for (i = 0; i < sizeof reserved / sizeof reserved[0]; i++)
        if (strncmp(name, reserved[i], strlen(reserved[i])) == 0)
            return 0;
    return 1;
}

KXStatus KXCgroupServerName(const char *host, unsigned port, char *name, size_t size)
{
    int length;
    size_t i;

    if (host == NULL || name == NULL || *host == '\0' || port > 65535)
        return ERROR_PARAMETER;
    length = snprintf(name, size, "srv-%s-%u", host, port);
    if (length < 0 || (size_t)length >= size || length > KX_CGROUP_NAME_MAX)
        return ERROR_BUFFER_SIZE;
    for (i = 4; name[i] != '\0'; i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-'))
            name[i] = '_';
    }
    return ERROR_NONE;
}

KXStatus KXCgroupInstallationName(const char *installation, char *name, size_t size)
{
    uint64_t hash = 14695981039346656037ULL; /* FNV-1a: stable across builds */
    const unsigned char *p;
    int length;

    if (installation == NULL || name == NULL)
        return ERROR_PARAMETER;
    for (p = (const unsigned char *)installation; *p != '\0'; p++)
        hash = (hash ^ *p) * 1099511628211ULL;
    length = snprintf(name, size, "tarvel-%016llx", (unsigned long long)hash);
    return length > 0 && (size_t)length < size ? ERROR_NONE : ERROR_BUFFER_SIZE;
}

KXStatus KXCgroupCreate(int parentFd, const char *name, int *dirFd)
{
    int fd;

    if (name == NULL || dirFd == NULL || !KXCgroupNameIsSafe(name))
        return ERROR_PARAMETER;
    fd = openat(parentFd, ".", kDirFlags);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    return Step(fd, name, 1, dirFd);
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

KXStatus KXCgroupTerminate(int dirFd, size_t *signalled)
{
    pid_t pids[1024];
    size_t count = 0;
    size_t reached = 0;
    size_t i;
    KXStatus status = KXCgroupMembers(dirFd, pids, sizeof pids / sizeof pids[0], &count);

    if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
        return status;
    for (i = 0; i < count; i++) {
        if (kill(pids[i], SIGTERM) != 0) {
            if (errno == ESRCH)
                continue;
            return ERROR_GENERAL;
        }
        if (kill(pids[i], SIGCONT) != 0 && errno != ESRCH)
            return ERROR_GENERAL;
        reached++;
    }
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

KXStatus KXCgroupCpuUsec(int dirFd, uint64_t *usec)
{
    char text[1024];
    KXStatus status;

    if (usec == NULL)
        return ERROR_PARAMETER;
    status = KXReadSmallFileAt(dirFd, "cpu.stat", text, sizeof text, NULL);
    if (status != ERROR_NONE && status != ERROR_BUFFER_SIZE)
        return status;
    return FindKey(text, "usage_usec", usec);
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
