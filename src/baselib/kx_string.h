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

KXStatus KXStringReplace(char *text, unsigned *size, const char *pattern, const char *replacement);
KXStatus KXGetUIntFromString(char **cursor, int *value);
KXStatus KXFormatString(char **out, int *length, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
KXStatus KXVFormatString(char **out, int *length, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

char *strupr(char *text);
char *strlwr(char *text);

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
