/* String and number helpers, formatting into a growing buffer, and the
 * size-limited C library functions that the rest of the code expects. */
#include "baselib/kx_string.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

KXStatus KXStringReplace(char *text, unsigned *size, const char *pattern, const char *replacement)
{
    size_t textLength, patternLength, replacementLength, count = 0;
    long long required;
    const char *found;
    const char *from;
    char *copy, *to;

    if (text == NULL || size == NULL || pattern == NULL || replacement == NULL ||
        pattern[0] == '\0')
        return ERROR_PARAMETER;

    patternLength = strlen(pattern);
    for (found = strstr(text, pattern); found != NULL; found = strstr(found + patternLength, pattern))
        count++;
    if (count == 0)
        return ERROR_NONE;

    textLength = strlen(text);
    replacementLength = strlen(replacement);
    required = (long long)textLength +
               (long long)count * ((long long)replacementLength - (long long)patternLength) + 1;
    if (required > (long long)UINT_MAX)
        return ERROR_MEMORY;
    if ((long long)*size < required) {
        *size = (unsigned)required;
        return ERROR_BUFFER_SIZE;
    }

    copy = strdup(text);
    if (copy == NULL)
        return ERROR_MEMORY;
    from = copy;
    to = text;
    while ((found = strstr(from, pattern)) != NULL) {
        memcpy(to, from, (size_t)(found - from));
        to += found - from;
        memcpy(to, replacement, replacementLength);
        to += replacementLength;
        from = found + patternLength;
    }
    memmove(to, from, strlen(from) + 1);
    free(copy);
    return ERROR_NONE;
}

KXStatus KXGetUIntFromString(char **cursor, int *value)
{
    char *p;

    if (cursor == NULL || *cursor == NULL || value == NULL)
        return ERROR_PARAMETER;
    p = *cursor;
    while (*p != '\0' && !isdigit((unsigned char)*p))
        p++;
    *cursor = p;
    if (*p == '\0')
        return ERROR_NO_NUMBER;
    *value = (int)strtol(p, NULL, 10);
    while (isdigit((unsigned char)*p))
        p++;
    *cursor = p;
    return ERROR_NONE;
}

KXStatus KXVFormatString(char **out, int *length, const char *format, va_list args)
{
    size_t size = 8192;
    int produced;
    va_list copy;

    if (out == NULL || *out != NULL || format == NULL)
        return ERROR_PARAMETER;
    for (;;) {
        *out = calloc(1, size);
        if (*out == NULL)
            return ERROR_MEMORY;
        va_copy(copy, args);
        produced = vsnprintf(*out, size - 1, format, copy);
        va_end(copy);
        if (produced < (int)(size - 1))
            break;
        free(*out);
        *out = NULL;
        if (size > (size_t)INT_MAX / 2)
            return ERROR_MEMORY;
        size *= 2;
    }
    if (length != NULL)
        *length = produced;
    return ERROR_NONE;
}

KXStatus KXFormatString(char **out, int *length, const char *format, ...)
{
    KXStatus status;
    va_list args;

    if (out == NULL || *out != NULL || format == NULL)
        return ERROR_PARAMETER;
    va_start(args, format);
    status = KXVFormatString(out, length, format, args);
    va_end(args);
    return status;
}

char *strupr(char *text)
{
    char *p;

    if (text == NULL)
        return NULL;
    for (p = text; *p != '\0'; p++)
        *p = (char)toupper((unsigned char)*p);
    return text;
}

char *strlwr(char *text)
{
    char *p;

    if (text == NULL)
        return NULL;
    for (p = text; *p != '\0'; p++)
        *p = (char)tolower((unsigned char)*p);
    return text;
}

int ctime_s(char *buffer, size_t size, const time_t *time)
{
    if (buffer == NULL || time == NULL || size < 26)
        return EINVAL;
    if (ctime_r(time, buffer) == NULL) {
        buffer[0] = '\0';
        return EINVAL;
    }
    return 0;
}

/* A text that does not fit is an error: the buffer is left empty rather
 * than holding a silently shortened text. */
int sprintf_s(char *buffer, size_t size, const char *format, ...)
{
    va_list args;
    int produced;

    if (buffer == NULL || format == NULL || size == 0)
        return -1;
    va_start(args, format);
    produced = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (produced < 0 || (size_t)produced >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return produced;
}

int localtime_s(struct tm *result, const time_t *time)
{
    if (result == NULL || time == NULL)
        return EINVAL;
    localtime_r(time, result);
    return 0;
}

int strcpy_s(char *destination, size_t size, const char *source)
{
    size_t length;

    if (destination == NULL || source == NULL)
        return EINVAL;
    length = strlen(source);
    if (length >= size)
        return EINVAL;
    memcpy(destination, source, length + 1);
    destination[size - 1] = '\0';
    return 0;
}

int strcat_s(char *destination, size_t size, const char *source)
{
    size_t used, length;

    if (destination == NULL || source == NULL)
        return EINVAL;
    /* strnlen: an unterminated destination must not be read past size. */
    used = strnlen(destination, size);
    length = strlen(source);
    if (used >= size || length >= size - used)
        return EINVAL;
    memcpy(destination + used, source, length + 1);
    return 0;
}
