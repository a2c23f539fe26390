/* Failures of the C layer: the OS's reason for an error number, and one call
 * that logs a failure and returns its status, so that a failure costs
 *     return KXFail(log, ERROR_X, "F(): what failed on what (%s)", KX_REASON(err));
 * and no more. */
#ifndef KX_ERROR_H
#define KX_ERROR_H

#include <stddef.h>
#include "baselib/kx_log.h"
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { KX_ERROR_TEXT_SIZE = 256 };

/* The text of error number `error` (strerror_r's, so safe in threads): either
 * written into buffer (size bytes, terminated) or a static text; never null.
 * This function can't fail. */
const char *KXErrorText(int error, char *buffer, size_t size);

/* KXErrorText in a buffer of the enclosing block, for a log argument (C only). */
#define KX_REASON(error) KXErrorText((error), (char[KX_ERROR_TEXT_SIZE]){0}, KX_ERROR_TEXT_SIZE)

/* Writes one line to log (as KXLogWrite; a null log writes nothing) and
 * returns status unchanged. */
KXStatus KXFail(KXLog *log, KXStatus status, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#endif
