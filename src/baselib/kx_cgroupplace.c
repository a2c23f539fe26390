/* Where the unified cgroup hierarchy and the service's own cgroup are,
 * whether the service may create cgroups there, and the names it gives
 * them; see kx_cgroup.h. */
#include "baselib/kx_cgroup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "baselib/kx_procstat.h"

#define KX_CGROUP_NAME_MAX 200

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
