/* The log core. Each line is built on the caller's stack and goes out with
 * one write; a file named by path is opened in append mode for every line,
 * so lines of different threads and processes never mix and a rotated or
 * removed log file is re-created by the next line. */
#include "baselib/kx_log.h"
#include "baselib/kx_regularfile.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "baselib/kx_critsec.h"

#define KX_LOG_LINE_SIZE 8192
#define KX_LOG_LIMIT_SIZE 256

struct KXLog {
    char *outputPath;
    KXFile *output;   /* not owned */
    KXFile *fallback; /* not owned */
    char *hostName;
    KXCriticalSection *lock;
    char lastKey[KX_LOG_LIMIT_SIZE];
    char lastText[KX_LOG_LIMIT_SIZE];
    int repeatCount;
    /* Seconds east of UTC, for KXLogWriteSignalSafe, which must not call
     * localtime. Refreshed by every ordinary line. */
    long utcOffset;
};

/* Formats the local time; records the UTC offset as a side effect. */
static void TimeStamp(KXLog *log, char *buffer, size_t size)
{
    time_t now = time(NULL);
    struct tm local;

    buffer[0] = '\0';
    if (localtime_r(&now, &local) == NULL)
        return;
    __atomic_store_n(&log->utcOffset, local.tm_gmtoff, __ATOMIC_RELAXED);
    if (strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0)
        buffer[0] = '\0';
}

static void CaptureUtcOffset(KXLog *log)
{
    char unused[64];

    TimeStamp(log, unused, sizeof(unused));
}

int KXLogNew(KXLog **log)
{
    KXLog *record;
    char host[256];

    if (log == NULL || *log != NULL)
        return -1;
    record = calloc(1, sizeof(*record));
    if (record == NULL)
        return -1;
    *log = record;
    if (gethostname(host, sizeof(host)) == 0) {
        host[sizeof(host) - 1] = '\0';
        record->hostName = strdup(host);
    }
    CaptureUtcOffset(record);
    if (KXCriticalSectionThreadNew(&record->lock) != ERROR_NONE) {
        KXLogWrite(record, "KXLogNew(): error creating critical section");
        return -1;
    }
    return 0;
}

int KXLogFree(KXLog **log)
{
    KXLog *record;

    if (log == NULL || *log == NULL)
        return -1;
    record = *log;
    free(record->hostName);
    free(record->outputPath);
    if (record->lock != NULL)
        record->lock->Free(&record->lock);
    free(record);
    *log = NULL;
    return 0;
}

int KXLogSetOutputFile(KXLog *log, const char *path)
{
    if (log == NULL || path == NULL) {
        KXLogWrite(log, "KXLogSetOutputFile(): wrong arguments passed to procedure");
        return -1;
    }
    log->output = NULL;
    free(log->outputPath);
    log->outputPath = strdup(path);
    if (log->outputPath == NULL) {
        KXLogWrite(log, "KXLogSetOutputFile(): couldn't allocate memory");
        return -1;
    }
    CaptureUtcOffset(log);
    return 0;
}

int KXLogSetOutputFilehandle(KXLog *log, KXFile *handle)
{
    if (log == NULL || handle == NULL) {
        KXLogWrite(log, "KXLogSetOutputFilehandle(): wrong arguments passed to procedure");
        return -1;
    }
    free(log->outputPath);
    log->outputPath = NULL;
    log->output = handle;
    CaptureUtcOffset(log);
    return 0;
}

int KXLogSetFallbackFilehandle(KXLog *log, KXFile *handle)
{
    if (handle == NULL) {
        KXLogWrite(log, "KXLogSetFallbackFilehandle(): wrong arguments passed to procedure");
        return -1;
    }
    if (log == NULL)
        return 0;
    log->fallback = handle;
    return 0;
}

int KXLogWrite(KXLog *log, const char *format, ...)
{
    va_list args;
    int result;

    if (format == NULL) {
        KXLogWrite(log, "%s", "KXLogWrite(): wrong arguments passed to procedure");
        return -1;
    }
    va_start(args, format);
    result = KXLogVWrite(log, format, args);
    va_end(args);
    return result;
}

static void WriteAll(KXFile *file, const char *text, size_t length)
{
    unsigned count = (unsigned)length;

    KXFileWrite(file, text, &count);
}

/* Opens the log file for one line, for appending. A symbolic link at the
 * path is never followed (it could aim the log, and the mode below, at any
 * file), and the mode 0660 is given only to a file created here, whatever
 * the umask; an existing file keeps the mode its owner chose. Nothing but a
 * regular file is written: the open does not block, so a FIFO that nobody
 * reads cannot hold the service (and its supervision) in open(). Uses
 * async-signal-safe calls only. Returns the descriptor, or -1 with errno
 * set (ELOOP for a symbolic link, EINVAL for what is not a regular file). */
static int OpenLogFile(const char *path)
{
    int fd = -1, attempt;

    for (attempt = 0; attempt < 8 && fd < 0; attempt++) {
        fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0 || errno == EINTR)
            continue;
        if (errno != ENOENT)
            return -1;
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0660);
        if (fd >= 0)
            fchmod(fd, 0660);
        /* EEXIST: another writer made it meanwhile; open that one. */
        else if (errno != EEXIST && errno != EINTR)
            return -1;
    }
    if (fd < 0)
        return -1;
    if (KXKeepRegularFile(fd) != ERROR_NONE) {
        errno = EINVAL;
        return -1;
    }
    return fd;
}

#define KX_LOG_LINK_REFUSED "refused: it is a symbolic link"
#define KX_LOG_TYPE_REFUSED "refused: it is not a regular file"

/* The refusal OpenLogFile's failure with `error` stands for, or NULL when
 * the OS reason says it better. Opening a FIFO without a reader fails with
 * ENXIO: the file's type, not that word, tells the operator what is wrong.
 * ELOOP may also mean a loop among the directories. Async-signal-safe. */
static const char *Refusal(const char *path, int error)
{
    struct stat info;

    if (lstat(path, &info) != 0)
        return NULL;
    if (S_ISLNK(info.st_mode))
        return error == ELOOP ? KX_LOG_LINK_REFUSED : NULL;
    return S_ISREG(info.st_mode) ? NULL : KX_LOG_TYPE_REFUSED;
}

/* Why OpenLogFile failed, for the note on the fallback. */
static const char *OpenFailure(const char *path, int error, char *buffer, size_t size)
{
    const char *refusal = Refusal(path, error);

    return refusal != NULL ? refusal : strerror_r(error, buffer, size);
}

int KXLogCheckOutputFile(KXLog *log, char *reason, size_t size)
{
    char text[256];
    int fd, error;

    if (log == NULL || log->outputPath == NULL)
        return 0;
    fd = OpenLogFile(log->outputPath);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    error = errno;
    if (reason != NULL && size > 0)
        snprintf(reason, size, "%s", OpenFailure(log->outputPath, error, text, sizeof(text)));
    errno = error;
    return -1;
}

/* Opens the output file for one line, or notes on the fallback why not. */
static KXFile *OpenOutputFile(KXLog *log, const char *stamp, KXFile *opened)
{
    char note[KX_LOG_LINE_SIZE];
    char reason[256];
    const char *text;
    int length;

    opened->fd = OpenLogFile(log->outputPath);
    if (opened->fd >= 0)
        return opened;
    if (log->fallback == NULL)
        return NULL;
    text = OpenFailure(log->outputPath, errno, reason, sizeof(reason));
    length = snprintf(note, sizeof(note), "%s (%s) KXLogWrite(): error opening file %s (%s)\n",
                      stamp, log->hostName != NULL ? log->hostName : "", log->outputPath, text);
    if (length >= (int)sizeof(note)) {
        length = (int)sizeof(note) - 1;
        note[length - 1] = '\n';
    }
    if (length > 0)
        WriteAll(log->fallback, note, (size_t)length);
    return log->fallback;
}

int KXLogVWrite(KXLog *log, const char *format, va_list args)
{
    char line[KX_LOG_LINE_SIZE];
    char stamp[64];
    KXFile opened = {-1};
    KXFile *destination;
    int length, message, cancelState;

    if (format == NULL) {
        KXLogWrite(log, "%s", "KXLogVWrite(): wrong arguments passed to procedure");
        return -1;
    }
    if (log == NULL)
        return 0;

    /* A cancellation inside open/write would leak the descriptor. */
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    TimeStamp(log, stamp, sizeof(stamp));
    if (log->output != NULL)
        destination = log->output;
    else if (log->outputPath != NULL)
        destination = OpenOutputFile(log, stamp, &opened);
    else
        destination = log->fallback;

    if (destination != NULL) {
        length = snprintf(line, sizeof(line), "%s (%s) [%d] ", stamp,
                          log->hostName != NULL ? log->hostName : "", (int)getpid());
        if (length < 0)
            length = 0;
        if (length < (int)sizeof(line)) {
            message = vsnprintf(line + length, sizeof(line) - (size_t)length, format, args);
            if (message > 0)
                length += message;
        }
        /* At most 8190 characters and the newline. */
        if (length > KX_LOG_LINE_SIZE - 2)
            length = KX_LOG_LINE_SIZE - 2;
        line[length++] = '\n';
        WriteAll(destination, line, (size_t)length);
    }
    if (opened.fd >= 0)
        close(opened.fd);
    pthread_setcancelstate(cancelState, NULL);
    return 0;
}

static void LeaveLock(KXLog *log)
{
    if (log->lock->Leave(log->lock) != ERROR_NONE)
        KXLogWrite(log, "KXLogWriteLimited(): cannot leave critical section");
}

static void CopyLimited(char *destination, const char *source)
{
    size_t length = source != NULL ? strnlen(source, KX_LOG_LIMIT_SIZE - 1) : 0;

    if (length > 0)
        memcpy(destination, source, length);
    destination[length] = '\0';
}

int KXLogWriteLimited(KXLog *log, const char *key, const char *text, const char *format, ...)
{
    va_list args;
    int result;

    if (log == NULL)
        return 0;
    if (log->lock == NULL || log->lock->Enter(log->lock) != ERROR_NONE) {
        KXLogWrite(log, "KXLogWriteLimited(): cannot enter critical section");
        return -1;
    }
    if (format == NULL || key == NULL) {
        KXLogWrite(log, "KXLogWriteLimited(): wrong arguments passed to procedure");
        LeaveLock(log);
        return -1;
    }
    log->repeatCount++;
    /* The stored key holds at most 255 characters; a longer key repeats
     * when those agree, or it would never be suppressed. */
    if (strncmp(key, log->lastKey, KX_LOG_LIMIT_SIZE - 1) == 0) {
        LeaveLock(log);
        return 0;
    }
    if (log->repeatCount > 1)
        KXLogWrite(log, "%s - repeated %d times", log->lastText, log->repeatCount);
    log->repeatCount = 0;
    va_start(args, format);
    result = KXLogVWrite(log, format, args);
    va_end(args);
    CopyLimited(log->lastKey, key);
    CopyLimited(log->lastText, text);
    LeaveLock(log);
    return result;
}

/* ---- Signal-safe writing: no stdio, no heap, no locks, no localtime. ---- */

typedef struct SafeBuffer {
    char *data;
    size_t used;
    size_t capacity; /* room for text, a byte is kept for the newline */
} SafeBuffer;

static void SafeAppend(SafeBuffer *buffer, const char *text)
{
    while (text != NULL && *text != '\0' && buffer->used < buffer->capacity)
        buffer->data[buffer->used++] = *text++;
}

static void SafeAppendNumber(SafeBuffer *buffer, long value, int width)
{
    char digits[24];
    int n = 0;
    unsigned long magnitude = value < 0 ? 0UL - (unsigned long)value : (unsigned long)value;

    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && n < (int)sizeof(digits));
    while (n < width && n < (int)sizeof(digits))
        digits[n++] = '0';
    if (value < 0 && buffer->used < buffer->capacity)
        buffer->data[buffer->used++] = '-';
    while (n > 0 && buffer->used < buffer->capacity)
        buffer->data[buffer->used++] = digits[--n];
}

/* Civil date from days since 1970-01-01 (proleptic Gregorian). */
static void CivilFromDays(long days, long *year, int *month, int *day)
{
    long era, dayOfEra, yearOfEra, dayOfYear, monthIndex;

    days += 719468;
    era = (days >= 0 ? days : days - 146096) / 146097;
    dayOfEra = days - era * 146097;
    yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    monthIndex = (5 * dayOfYear + 2) / 153;
    *day = (int)(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *month = (int)(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *year = yearOfEra + era * 400 + (*month <= 2);
}

static void SafeAppendTime(SafeBuffer *buffer, long utcOffset)
{
    long seconds = (long)time(NULL) + utcOffset;
    long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    long secondOfDay = seconds - days * 86400;
    long year;
    int month, day;

    CivilFromDays(days, &year, &month, &day);
    SafeAppendNumber(buffer, year, 4);
    SafeAppend(buffer, "-");
    SafeAppendNumber(buffer, month, 2);
    SafeAppend(buffer, "-");
    SafeAppendNumber(buffer, day, 2);
    SafeAppend(buffer, " ");
    SafeAppendNumber(buffer, secondOfDay / 3600, 2);
    SafeAppend(buffer, ":");
    SafeAppendNumber(buffer, secondOfDay / 60 % 60, 2);
    SafeAppend(buffer, ":");
    SafeAppendNumber(buffer, secondOfDay % 60, 2);
}

/* Starts a line with the time and " (host", as every line begins. */
static void SafeAppendStamp(SafeBuffer *buffer, KXLog *log)
{
    SafeAppendTime(buffer, __atomic_load_n(&log->utcOffset, __ATOMIC_RELAXED));
    SafeAppend(buffer, " (");
    SafeAppend(buffer, log->hostName);
}

/* Ends the buffer with a newline and writes it whole, resuming after
 * interruptions. */
static void SafeWriteLine(int fd, SafeBuffer *buffer)
{
    size_t done = 0;
    ssize_t n;

    buffer->data[buffer->used++] = '\n';
    while (done < buffer->used) {
        n = write(fd, buffer->data + done, buffer->used - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += (size_t)n;
    }
}

void KXLogWriteSignalSafe(KXLog *log, const char *message)
{
    KXLogWriteSignalSafeFor(log, getpid(), message);
}

void KXLogWriteSignalSafeFor(KXLog *log, pid_t pid, const char *message)
{
    char line[KX_LOG_LINE_SIZE];
    SafeBuffer buffer = {line, 0, KX_LOG_LINE_SIZE - 2};
    int savedErrno = errno;
    int fd = -1, opened = -1;
    const char *refusal = NULL;

    if (log == NULL)
        return;
    if (log->output != NULL) {
        fd = log->output->fd;
    } else if (log->outputPath != NULL) {
        opened = OpenLogFile(log->outputPath);
        fd = opened;
        if (opened < 0)
            refusal = Refusal(log->outputPath, errno);
    }
    if (fd < 0 && log->fallback != NULL)
        fd = log->fallback->fd;
    if (fd < 0) {
        errno = savedErrno;
        return;
    }

    if (refusal != NULL) {
        /* The same note as an ordinary line gives, without strerror. */
        SafeAppendStamp(&buffer, log);
        SafeAppend(&buffer, ") KXLogWrite(): error opening file ");
        SafeAppend(&buffer, log->outputPath);
        SafeAppend(&buffer, " (");
        SafeAppend(&buffer, refusal);
        SafeAppend(&buffer, ")");
        SafeWriteLine(fd, &buffer);
        buffer.used = 0;
    }
    SafeAppendStamp(&buffer, log);
    SafeAppend(&buffer, ") [");
    SafeAppendNumber(&buffer, (long)pid, 0);
    SafeAppend(&buffer, "] ");
    SafeAppend(&buffer, message);
    SafeWriteLine(fd, &buffer);
    if (opened >= 0)
        close(opened);
    errno = savedErrno;
}
