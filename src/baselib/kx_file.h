/* Unbuffered file handle over a POSIX descriptor. */
#ifndef KX_FILE_H
#define KX_FILE_H

#include <stdarg.h>
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXFile {
    int fd;
} KXFile;

/* Handles of descriptors 0, 1 and 2; static, never to be closed. */
extern KXFile *KXFileStdin;
extern KXFile *KXFileStdout;
extern KXFile *KXFileStderr;

/* All functions return ERROR_PARAMETER for a null argument. */

/* Opens path with an fopen-style mode ("r", "w", "a", "r+", "w+", "a+"; 'b'
 * ignored; new files 0666 less umask) into *file, which must be null; the
 * caller owns the handle and closes it with KXFileClose. ERROR_PARAMETER for
 * an unknown mode; ERROR_FILE_IO with errno kept for the caller's message. */
KXStatus KXFileOpen(KXFile **file, const char *path, const char *mode);
/* Closes the descriptor, frees the handle and nulls *file, whatever close()
 * says; ERROR_FILE_IO when it failed. */
KXStatus KXFileClose(KXFile **file);
/* Reads exactly *length bytes unless the file ends first (ERROR_FILE_EOF)
 * or read fails (ERROR_FILE_IO); *length becomes the count read. */
KXStatus KXFileRead(KXFile *file, void *buffer, unsigned *length);
/* Writes all *length bytes; on ERROR_FILE_IO *length is the count written. */
KXStatus KXFileWrite(KXFile *file, const char *data, unsigned *length);
/* Formats as printf and writes the whole text; ERROR_MEMORY when it cannot
 * be formatted, else as KXFileWrite. */
KXStatus KXFilePrintf(KXFile *file, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
KXStatus KXFileVPrintf(KXFile *file, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
/* Reads one line into buffer (size bytes, zero-terminated; carriage returns
 * dropped, the line feed consumed but not stored); a longer line is cut at
 * size-1 bytes and the rest left unread. ERROR_FILE_EOF when the file ends
 * before a line feed (buffer holds what came), ERROR_FILE_IO on failure. */
KXStatus KXFileReadline(KXFile *file, char *buffer, unsigned size);
/* The descriptor of file in *descriptor; it stays the handle's. */
KXStatus KXFileFileno(KXFile *file, int *descriptor);

#ifdef __cplusplus
}
#endif

#endif
