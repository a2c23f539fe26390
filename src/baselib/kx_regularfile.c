/* Non-blocking open, type check, then blocking reads: a FIFO without a
 * writer would otherwise hold open() until someone writes to it. */
#include "baselib/kx_regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* Closes fd keeping errno, which names the reason of the failure. */
static void CloseKeepingErrno(int fd)
{
    int savedErrno = errno;

    close(fd);
    errno = savedErrno;
}

KXStatus KXOpenRegularFile(const char *path, int *descriptor)
{
    KXStatus status;
    int fd;

    if (path == NULL || descriptor == NULL)
        return ERROR_PARAMETER;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return ERROR_FILE_OPEN;
    status = KXKeepRegularFile(fd);
    if (status == ERROR_NONE)
        *descriptor = fd;
    return status;
}

KXStatus KXKeepRegularFile(int fd)
{
    struct stat info;
    int flags;

    if (fstat(fd, &info) != 0) {
        CloseKeepingErrno(fd);
        return ERROR_FILE_OPEN;
    }
    if (!S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return ERROR_FILE_TYPE;
    }
    /* I/O on a regular file never waits anyway; clearing the flag keeps the
     * descriptor ordinary for whoever uses it. */
    flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        CloseKeepingErrno(fd);
        return ERROR_FILE_OPEN;
    }
    return ERROR_NONE;
}
