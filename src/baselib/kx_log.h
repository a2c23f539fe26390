/* The log core: one time-stamped line per message, written with a single
 * write to a file opened per line, and suppression of repeated messages. */
#ifndef KX_LOG_H
#define KX_LOG_H

#include <stdarg.h>
#include <stddef.h>
#include <sys/types.h>
#include "baselib/kx_file.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXLog KXLog;

/* The log functions return 0 on success and -1 on failure. The writing
 * functions accept a null log and write nothing. */

/* A new log in *log (which must be null; the caller's, freed with
 * KXLogFree); lines go nowhere until an output or fallback is set. */
int KXLogNew(KXLog **log);
/* Frees the log and nulls *log; handles given to it stay their owners'. */
int KXLogFree(KXLog **log);
/* Lines go to the file at path (copied), opened anew for every line; -1
 * when path is null or cannot be kept. */
int KXLogSetOutputFile(KXLog *log, const char *path);
/* Opens the output file once, as a line would (creating it with mode 0660
 * when missing), and closes it again: 0 when that works or no output file
 * is set, -1 with errno set and the reason (the OS reason, or why the file
 * was refused: a symbolic link, not a regular file) in reason (size bytes,
 * the caller's) when not. */
int KXLogCheckOutputFile(KXLog *log, char *reason, size_t size);
/* Lines go to handle (still the caller's); it wins over an output file. */
int KXLogSetOutputFilehandle(KXLog *log, KXFile *handle);
/* Where lines go, with a note why, when the output file cannot be opened. */
int KXLogSetFallbackFilehandle(KXLog *log, KXFile *handle);
/* Writes one time-stamped line of at most 8190 characters (longer ones are
 * cut); -1 only for a null format. */
int KXLogWrite(KXLog *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
int KXLogVWrite(KXLog *log, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
/* As KXLogWrite, but a line with the same key as the last one is only
 * counted; the next line of another key is preceded by
 * "<last text> - repeated <n> times". -1 for a null key or format. */
int KXLogWriteLimited(KXLog *log, const char *key, const char *text, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* For signal handlers that must log without locks, allocation or stdio:
 * writes "<time> (<host>) [<pid>] <message>\n" with async-signal-safe calls
 * only. The time is UTC shifted by the offset taken when the log was set up. */
void KXLogWriteSignalSafe(KXLog *log, const char *message);

/* The same line as process pid would write it: for what a child could not
 * log itself. */
void KXLogWriteSignalSafeFor(KXLog *log, pid_t pid, const char *message);

#ifdef __cplusplus
}
#endif

#endif
