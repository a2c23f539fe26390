/* Reads in chunks and splits them at line feeds; a line is never cut, so
 * whatever a line holds cannot turn into a line of its own. */
#include "baselib/kx_linereader.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

void KXLineReaderInit(KXLineReader *reader, int fd)
{
    memset(reader, 0, sizeof(*reader));
    reader->fd = fd;
}

/* Refills an empty chunk; 1 when bytes came, 0 at the end, -1 on failure. */
static int Refill(KXLineReader *reader)
{
    ssize_t got;

    if (reader->atEnd)
        return 0;
    do
        got = read(reader->fd, reader->chunk, sizeof(reader->chunk));
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return -1;
    reader->start = 0;
    reader->end = (size_t)got;
    if (got == 0)
        reader->atEnd = 1;
    return got > 0;
}

/* Stores one byte of the line, or notes that the line does not fit. */
static void Keep(char c, char *buffer, size_t size, KXLineInfo *info)
{
    if (c == '\r')
        return;
    if (c == '\0')
        info->hasNul = 1;
    if (info->length + 1 < size)
        buffer[info->length++] = c;
    else
        info->tooLong = 1;
}

KXStatus KXLineReaderNext(KXLineReader *reader, char *buffer, size_t size, KXLineInfo *info)
{
    int seen = 0;

    if (reader == NULL || buffer == NULL || info == NULL || size == 0)
        return ERROR_PARAMETER;
    memset(info, 0, sizeof(*info));
    buffer[0] = '\0';
    for (;;) {
        char c;

        if (reader->start == reader->end) {
            int filled = Refill(reader);

            if (filled < 0)
                return ERROR_FILE_IO;
            if (filled == 0)
                break;
        }
        c = reader->chunk[reader->start++];
        seen = 1;
        if (c == '\n')
            break;
        Keep(c, buffer, size, info);
    }
    buffer[info->length] = '\0';
    return seen ? ERROR_NONE : ERROR_FILE_EOF;
}
