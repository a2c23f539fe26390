/* Unbuffered file handle over a descriptor: fopen-style modes, whole-buffer
 * reads and writes that survive interrupted calls, and a line reader. */
#include "baselib/kx_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "baselib/kx_string.h"
#include "baselib/kx_time.h"

static KXFile kxFileStdin = {0};
static KXFile kxFileStdout = {1};
static KXFile kxFileStderr = {2};

KXFile *KXFileStdin = &kxFileStdin;
KXFile *KXFileStdout = &kxFileStdout;
KXFile *KXFileStderr = &kxFileStderr;

/* Maps an fopen-style mode to open flags; -1 for a mode not in the table.
 * Only the first four characters count, and 'b' means nothing here. */
static int ModeFlags(const char *mode)
{
    static const struct {
        const char *mode;
        int flags;
    } table[] = {
        {"r", O_RDONLY},
        {"w", O_WRONLY | O_CREAT | O_TRUNC},
        {"a", O_WRONLY | O_CREAT | O_APPEND},
        {"r+", O_RDWR},
        {"w+", O_RDWR | O_CREAT | O_TRUNC},
        {"a+", O_RDWR | O_CREAT | O_APPEND},
    };
    char normal[5];
    size_t i, n = 0;

    for (i = 0; i < 4 && mode[i] != '\0'; i++)
        if (mode[i] != 'b')
            normal[n++] = mode[i];
    normal[n] = '\0';
    for (i = 0; i < sizeof(table) / sizeof(table[0]); i++)
        if (strcmp(normal, table[i].mode) == 0)
            return table[i].flags;
    return -1;
}

KXStatus KXFileOpen(KXFile **file, const char *path, const char *mode)
{
    KXFile *handle;
    int flags, fd, savedErrno;

    if (file == NULL || *file != NULL || mode == NULL || path == NULL)
        return ERROR_PARAMETER;
    handle = malloc(sizeof(*handle));
    if (handle == NULL)
        return ERROR_MEMORY;
    flags = ModeFlags(mode);
    if (flags < 0) {
        free(handle);
        *file = NULL;
        return ERROR_PARAMETER;
    }
    for (;;) {
        /* No child of this process inherits a file it opened. */
        fd = open(path, flags | O_CLOEXEC, 0666);
        if (fd >= 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            SleepMilliseconds(1000);
            continue;
        }
        /* Callers report the reason with strerror(errno). */
        savedErrno = errno;
        free(handle);
        *file = NULL;
        errno = savedErrno;
        return ERROR_FILE_IO;
    }
    handle->fd = fd;
    *file = handle;
    return ERROR_NONE;
}

KXStatus KXFileClose(KXFile **file)
{
    int result;

    if (file == NULL || *file == NULL)
        return ERROR_PARAMETER;
    /* No retry on EINTR: on Linux the descriptor is gone either way. */
    result = close((*file)->fd);
    free(*file);
    *file = NULL;
    return result == 0 ? ERROR_NONE : ERROR_FILE_IO;
}

KXStatus KXFileRead(KXFile *file, void *buffer, unsigned *length)
{
    unsigned total = 0;
    ssize_t n;

    if (file == NULL || buffer == NULL || length == NULL)
        return ERROR_PARAMETER;
    do {
        n = read(file->fd, (char *)buffer + total, *length - total);
        if (n > 0) {
            total += (unsigned)n;
        } else if (n == 0) {
            /* A request for nothing is satisfied, not an end of file. */
            if (*length == 0)
                break;
            *length = total;
            return ERROR_FILE_EOF;
        } else if (errno != EAGAIN && errno != EINTR) {
            *length = total;
            return ERROR_FILE_IO;
        }
    } while (total < *length);
    *length = total;
    return ERROR_NONE;
}

KXStatus KXFileWrite(KXFile *file, const char *data, unsigned *length)
{
    unsigned total = 0;
    ssize_t n;

    if (file == NULL || data == NULL || length == NULL)
        return ERROR_PARAMETER;
    while (total < *length) {
        n = write(file->fd, data + total, *length - total);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            *length = total;
            return ERROR_FILE_IO;
        }
        total += (unsigned)n;
    }
    *length = total;
    return ERROR_NONE;
}

KXStatus KXFileVPrintf(KXFile *file, const char *format, va_list args)
{
    char *text = NULL;
    int length = 0;
    unsigned count;
    KXStatus status;

    if (file == NULL || format == NULL)
        return ERROR_PARAMETER;
    status = KXVFormatString(&text, &length, format, args);
    if (status != ERROR_NONE)
        return status;
    count = length > 0 ? (unsigned)length : 0;
    status = KXFileWrite(file, text, &count);
    free(text);
    return status;
}

KXStatus KXFilePrintf(KXFile *file, const char *format, ...)
{
    KXStatus status;
    va_list args;

    if (file == NULL || format == NULL)
        return ERROR_PARAMETER;
    va_start(args, format);
    status = KXFileVPrintf(file, format, args);
    va_end(args);
    return status;
}

KXStatus KXFileReadline(KXFile *file, char *buffer, unsigned size)
{
    unsigned stored = 0;
    ssize_t n;
    char c;

    if (file == NULL || buffer == NULL || size == 0)
        return ERROR_PARAMETER;
    memset(buffer, 0, size);
    /* Byte by byte so that nothing after the line feed is consumed. */
    while (stored < size - 1) {
        n = read(file->fd, &c, 1);
        if (n == 0)
            return ERROR_FILE_EOF;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return ERROR_FILE_IO;
        }
        if (c == '\n')
            return ERROR_NONE;
        if (c == '\r')
            continue;
        buffer[stored++] = c;
    }
    return ERROR_NONE;
}

KXStatus KXFileFileno(KXFile *file, int *descriptor)
{
    if (file == NULL || descriptor == NULL)
        return ERROR_PARAMETER;
    *descriptor = file->fd;
    return ERROR_NONE;
}
