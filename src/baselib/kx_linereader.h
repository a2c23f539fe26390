/* Bounded line reader over a descriptor: a line longer than the caller's
 * buffer is reported as such and skipped whole, never handed out in pieces
 * that would read as lines of their own. */
#ifndef KX_LINEREADER_H
#define KX_LINEREADER_H

#include <stddef.h>

#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXLineReader {
    int fd;            /* the caller's; never closed here */
    size_t start, end; /* unread bytes of chunk */
    int atEnd;         /* read() said end of file */
    char chunk[4096];
} KXLineReader;

/* What one call found out about the line it returned. */
typedef struct KXLineInfo {
    size_t length; /* bytes stored, carriage returns dropped */
    int tooLong;   /* the line did not fit: buffer holds its first bytes */
    int hasNul;    /* the line holds a NUL byte */
} KXLineInfo;

/* Sets up reader over fd (not owned); reads nothing yet. */
void KXLineReaderInit(KXLineReader *reader, int fd);
/* Reads the next line (up to a line feed, which is consumed and not stored,
 * or the end of the file) into buffer (size bytes, zero-terminated, at most
 * size-1 bytes kept) and describes it in *info. A longer line is consumed
 * up to its end all the same. ERROR_FILE_EOF when no line is left,
 * ERROR_FILE_IO with errno when read() fails, ERROR_PARAMETER for a null
 * argument or a size of 0. */
KXStatus KXLineReaderNext(KXLineReader *reader, char *buffer, size_t size, KXLineInfo *info);

#ifdef __cplusplus
}
#endif

#endif
