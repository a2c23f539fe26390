/* The log core: one time-stamped line per message, written with a single
 * write to a file opened per line, and suppression of repeated messages. */
#ifndef KX_LOG_H
#define KX_LOG_H

#include <stdarg.h>
#include "baselib/kx_file.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXLog KXLog;

int KXLogNew(KXLog **log);
int KXLogFree(KXLog **log);
int KXLogSetOutputFile(KXLog *log, const char *path);
int KXLogSetOutputFilehandle(KXLog *log, KXFile *handle);
int KXLogSetFallbackFilehandle(KXLog *log, KXFile *handle);
int KXLogWrite(KXLog *log, const char *format, ...) __attribute__((format(printf, 2, 3)));
int KXLogVWrite(KXLog *log, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
int KXLogWriteLimited(KXLog *log, const char *key, const char *text, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

/* For signal handlers that must log without locks, allocation or stdio:
 * writes "<time> (<host>) [<pid>] <message>\n" with async-signal-safe calls
 * only. The time is UTC shifted by the offset taken when the log was set up. */
void KXLogWriteSignalSafe(KXLog *log, const char *message);

#ifdef __cplusplus
}
#endif

#endif
