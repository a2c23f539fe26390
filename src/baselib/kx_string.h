/* String and number helpers, and size-limited C library functions. */
#ifndef KX_STRING_H
#define KX_STRING_H

#include <stdarg.h>
#include <stddef.h>
#include <time.h>
#include "baselib/kx_status.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces every occurrence of pattern (not empty) in text, in place. When
 * the result needs more than *size bytes, *size becomes the size needed and
 * ERROR_BUFFER_SIZE is returned with text unchanged; ERROR_MEMORY when it
 * would exceed UINT_MAX or a scratch copy fails; ERROR_PARAMETER for null. */
KXStatus KXStringReplace(char *text, unsigned *size, const char *pattern, const char *replacement);
/* Skips to the next digit of *cursor, reads the decimal number there into
 * *value and leaves *cursor behind it; ERROR_NO_NUMBER (cursor at the end)
 * when no digit follows. Can't fail otherwise but for null arguments. */
KXStatus KXGetUIntFromString(char **cursor, int *value);
/* Formats as printf into a new heap block in *out (which must be null; the
 * caller frees it) and its length into *length (length may be null).
 * ERROR_MEMORY when no block is big enough; *out stays null then. */
KXStatus KXFormatString(char **out, int *length, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
KXStatus KXVFormatString(char **out, int *length, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

/* Upper-/lower-cases text in place and returns it; null for null. */
char *strupr(char *text);
char *strlwr(char *text);

/* The size-limited C library functions: 0 on success, else EINVAL (or -1
 * for sprintf_s, which returns the length written otherwise). A text that
 * does not fit is an error, never silently shortened. */
int ctime_s(char *buffer, size_t size, const time_t *time);
int sprintf_s(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
int localtime_s(struct tm *result, const time_t *time);
int strcpy_s(char *destination, size_t size, const char *source);
int strcat_s(char *destination, size_t size, const char *source);

#ifdef __cplusplus
}
#endif

#endif
