#include "baselib/kx_error.h"

#include <stdarg.h>
#include <string.h>

const char *KXErrorText(int error, char *buffer, size_t size)
{
    /* The GNU strerror_r returns the text, in buffer or static; the one of
     * strerror is shared by all threads. */
    const char *text = strerror_r(error, buffer, size);

    return text != NULL ? text : "";
}

KXStatus KXFail(KXLog *log, KXStatus status, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    KXLogVWrite(log, format, args);
    va_end(args);
    return status;
}
