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

extern KXFile *KXFileStdin;
extern KXFile *KXFileStdout;
extern KXFile *KXFileStderr;

KXStatus KXFileOpen(KXFile **file, const char *path, const char *mode);
KXStatus KXFileClose(KXFile **file);
KXStatus KXFileRead(KXFile *file, void *buffer, unsigned *length);
KXStatus KXFileWrite(KXFile *file, const char *data, unsigned *length);
KXStatus KXFilePrintf(KXFile *file, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
KXStatus KXFileVPrintf(KXFile *file, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
KXStatus KXFileReadline(KXFile *file, char *buffer, unsigned size);
KXStatus KXFileFileno(KXFile *file, int *descriptor);

#ifdef __cplusplus
}
#endif

#endif
