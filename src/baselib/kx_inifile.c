/* INI file reader: the whole file is parsed at creation into a hash of
 * sections, each a hash from key to a strdup'd value. */
#include "baselib/kx_inifile.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "baselib/kx_linereader.h"
#include "baselib/kx_regularfile.h"

/* Buffer of KXIniFileGetInt: 13 characters and the terminator. */
#define KX_INIFILE_INT_SIZE 14

/* Why the keys under the last header are dropped rather than merged into
 * the section before it. */
enum Dropping { KEEPING = 0, UNDER_DUPLICATE = 1, UNDER_INVALID = 2 };

/* State of one parse: the current section and whether the keys under the
 * last header are dropped. */
typedef struct ParseState {
    const char *fileName;
    int lineNumber;
    KXHash *current;
    int dropping; /* enum Dropping */
    char currentName[KX_INIFILE_LINE_SIZE];
    char duplicateName[KX_INIFILE_LINE_SIZE];
} ParseState;

/* Longest piece of a refused line quoted in the recorded reason. */
#define KX_INIFILE_EXCERPT 64

static void TrimEnd(char *line)
{
    size_t length = strlen(line);

    while (length > 0 && strchr(" \t\r\n", line[length - 1]) != NULL)
        line[--length] = '\0';
}

/* Records the first refused line of the file: reason, then an excerpt of
 * detail (may be null) that shows control bytes as '?', so that the text
 * can go to a terminal or a one-line reply as it is. */
static KXStatus NoteProblem(KXIniFile *iniFile, const ParseState *state, const char *reason,
                            const char *detail)
{
    size_t reasonLength = strlen(reason), i, used;
    char *text;

    if (iniFile->problem != NULL)
        return ERROR_NONE;
    text = malloc(reasonLength + KX_INIFILE_EXCERPT + 8);
    if (text == NULL)
        return ERROR_MEMORY;
    memcpy(text, reason, reasonLength);
    used = reasonLength;
    if (detail != NULL) {
        text[used++] = ':';
        text[used++] = ' ';
        for (i = 0; detail[i] != '\0' && i < KX_INIFILE_EXCERPT; i++) {
            unsigned char c = (unsigned char)detail[i];

            text[used++] = c >= 0x20 && c < 0x7f ? (char)c : '?';
        }
        if (detail[i] != '\0') {
            memcpy(text + used, "...", 3);
            used += 3;
        }
    }
    text[used] = '\0';
    iniFile->problem = text;
    iniFile->problemLine = state->lineNumber;
    return ERROR_NONE;
}

/* Remembers where a section header (key null) or a key stood. */
static KXStatus NoteLine(KXIniFile *iniFile, const ParseState *state, const char *section,
                         const char *key)
{
    size_t sectionLength = strlen(section);
    size_t keyLength = key != NULL ? strlen(key) : 0;
    char *name = malloc(sectionLength + keyLength + 2);
    KXStatus status;

    if (name == NULL)
        return ERROR_MEMORY;
    /* No name holds a line feed, so "section\nkey" names one key only. */
    memcpy(name, section, sectionLength + 1);
    if (key != NULL) {
        name[sectionLength] = '\n';
        memcpy(name + sectionLength + 1, key, keyLength + 1);
    }
    status = KXHashSet(iniFile->lines, iniFile->mm, name,
                       (void *)(intptr_t)state->lineNumber);
    free(name);
    return status;
}

static KXStatus ParseSectionHeader(KXIniFile *iniFile, ParseState *state, char *line, KXLog *log)
{
    char *name = line + 1;
    char *end = strchr(name, ']');
    KXHash *keys = NULL;
    KXStatus status;

    if (end == NULL) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) invalid line: %s", state->fileName,
                   state->lineNumber, line);
        /* The keys that follow were meant for the broken section: in the
         * section before it they could override what that one says. */
        state->dropping = UNDER_INVALID;
        return NoteProblem(iniFile, state, "section header without ']'", line);
    }
    *end = '\0';
    if (KXHashExists(iniFile->sections, iniFile->mm, name)) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) duplicate section: %s", state->fileName,
                   state->lineNumber, name);
        /* The keys under a repeated header belong to no section we could
         * trust: merging them into the previous section would be wrong, so
         * they are dropped (each one logged) until the next header. */
        state->dropping = UNDER_DUPLICATE;
        strcpy(state->duplicateName, name);
        return NoteProblem(iniFile, state, "repeated section header", line);
    }

    status = KXHashNew(&keys, iniFile->mm);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "ParseIniFile(): failed to create key hash for section %s (%d)", name,
                   status);
        return status;
    }
    status = KXHashSet(iniFile->sections, iniFile->mm, name, keys);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "ParseIniFile(): failed to set section %s in section hash (%d", name,
                   status);
        KXHashFree(&keys, iniFile->mm);
        return status;
    }
    state->current = keys;
    state->dropping = KEEPING;
    strcpy(state->currentName, name);
    return NoteLine(iniFile, state, name, NULL);
}

/* The line of a key that is no key; the reason tells which rule it broke. */
static KXStatus RefuseKeyLine(KXIniFile *iniFile, ParseState *state, const char *line,
                              const char *reason, KXLog *log)
{
    KXLogWrite(log, "ParseIniFile(): %s(%d) invalid line: %s", state->fileName, state->lineNumber,
               line);
    return NoteProblem(iniFile, state, reason, line);
}

static KXStatus ParseKeyLine(KXIniFile *iniFile, ParseState *state, char *line, KXLog *log)
{
    char *equals = strchr(line, '=');
    char *value;
    KXStatus status;

    if (equals == NULL)
        return RefuseKeyLine(iniFile, state, line, "line without '='", log);
    if (state->current == NULL && !state->dropping)
        return RefuseKeyLine(iniFile, state, line, "key before the first section header", log);
    *equals = '\0';
    if (state->dropping == UNDER_INVALID) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) key under an invalid section header ignored: %s",
                   state->fileName, state->lineNumber, line);
        return NoteProblem(iniFile, state, "key under an invalid section header", line);
    }
    if (state->dropping) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) key in duplicate section [%s] ignored: %s",
                   state->fileName, state->lineNumber, state->duplicateName, line);
        return NoteProblem(iniFile, state, "key in a repeated section", line);
    }
    if (KXHashExists(state->current, iniFile->mm, line)) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) duplicate key: %s", state->fileName,
                   state->lineNumber, line);
        return NoteProblem(iniFile, state, "repeated key", line);
    }

    value = strdup(equals + 1);
    if (value == NULL) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) can't allocate enough memory for value",
                   state->fileName, state->lineNumber);
        return ERROR_MEMORY;
    }
    status = KXHashSet(state->current, iniFile->mm, line, value);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "ParseIniFile(): failed to set key/value pair '%s'/'%s' in key hash (%d)",
                   line, value, status);
        free(value);
        return status;
    }
    return NoteLine(iniFile, state, state->currentName, line);
}

/* One line as read: refused whole when it did not fit or holds a NUL byte
 * (what follows the NUL would be invisible to every later check). */
static KXStatus ParseLine(KXIniFile *iniFile, ParseState *state, char *line,
                          const KXLineInfo *info, KXLog *log)
{
    if (info->tooLong) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) line longer than %d bytes refused",
                   state->fileName, state->lineNumber, KX_INIFILE_LINE_SIZE - 1);
        char reason[64];

        snprintf(reason, sizeof(reason), "line longer than %d bytes", KX_INIFILE_LINE_SIZE - 1);
        return NoteProblem(iniFile, state, reason, NULL);
    }
    if (info->hasNul) {
        KXLogWrite(log, "ParseIniFile(): %s(%d) line with a NUL byte refused", state->fileName,
                   state->lineNumber);
        return NoteProblem(iniFile, state, "line with a NUL byte", NULL);
    }
    TrimEnd(line);
    if (line[0] == '\0' || line[0] == ';' || line[0] == '#')
        return ERROR_NONE;
    if (line[0] == '[')
        return ParseSectionHeader(iniFile, state, line, log);
    return ParseKeyLine(iniFile, state, line, log);
}

static KXStatus ParseLines(KXIniFile *iniFile, int fd, const char *fileName, KXLog *log)
{
    /* Static buffers would make parsing non-reentrant; the buffers live on
     * the heap to keep the stack small for threads. */
    char *line = malloc(KX_INIFILE_LINE_SIZE);
    ParseState *state = calloc(1, sizeof(ParseState));
    KXLineReader *reader = malloc(sizeof(KXLineReader));
    KXStatus status = ERROR_NONE;

    if (line == NULL || state == NULL || reader == NULL) {
        free(line);
        free(state);
        free(reader);
        return ERROR_MEMORY;
    }
    state->fileName = fileName;
    KXLineReaderInit(reader, fd);
    while (status == ERROR_NONE) {
        KXLineInfo info;
        KXStatus read = KXLineReaderNext(reader, line, KX_INIFILE_LINE_SIZE, &info);

        if (read == ERROR_FILE_EOF)
            break;
        if (read != ERROR_NONE) {
            KXLogWrite(log, "ParseIniFile(): error reading file %s", fileName);
            status = read;
            break;
        }
        state->lineNumber++;
        status = ParseLine(iniFile, state, line, &info, log);
    }
    free(line);
    free(state);
    free(reader);
    return status;
}

static KXStatus ParseIniFile(KXIniFile *iniFile, const char *fileName, KXLog *log)
{
    KXStatus status;
    int fd = -1;

    status = KXOpenRegularFile(fileName, &fd);
    if (status == ERROR_FILE_TYPE) {
        /* Logged as a read error, which it would have been; the status
         * lets the caller name the reason. */
        KXLogWrite(log, "ParseIniFile(): error reading file %s", fileName);
        return status;
    }
    if (status != ERROR_NONE) {
        int savedErrno = errno;

        KXLogWrite(log, "ParseIniFile(): Error opening file %s for read", fileName);
        errno = savedErrno;
        return ERROR_FILE_OPEN;
    }
    status = ParseLines(iniFile, fd, fileName, log);
    if (close(fd) != 0) {
        KXLogWrite(log, "ParseIniFile(): error closing file: %s", fileName);
        if (status == ERROR_NONE)
            status = ERROR_FILE_IO;
    }
    return status;
}

KXStatus KXIniFileNew(KXIniFile **iniFile, const char *fileName, KXLog *log)
{
    KXIniFile *record;
    KXStatus status;

    if (iniFile == NULL) {
        KXLogWrite(log, "KXIniFileNew(): parameter ppIniFile is NULL");
        return ERROR_PARAMETER;
    }
    if (*iniFile != NULL) {
        KXLogWrite(log, "KXIniFileNew(): parameter *ppIniFile is not NULL");
        return ERROR_PARAMETER;
    }
    if (fileName == NULL) {
        KXLogWrite(log, "KXIniFileNew(): parameter pFileName is NULL");
        return ERROR_PARAMETER;
    }
    record = calloc(1, sizeof(KXIniFile));
    if (record == NULL) {
        KXLogWrite(log, "KXIniFileNew(): allocating memory for inifile object failed");
        return ERROR_MEMORY;
    }
    status = KXMemoryManagerSysNew(&record->mm);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileNew(): creating local system-memory-manager failed");
        free(record);
        return status;
    }
    status = KXHashNew(&record->sections, record->mm);
    if (status == ERROR_NONE)
        status = KXHashNew(&record->lines, record->mm);
    if (status != ERROR_NONE) {
        if (record->sections != NULL)
            KXHashFree(&record->sections, record->mm);
        KXLogWrite(log, "KXIniFileNew(): allocating memory for sections failed");
        record->mm->Free(&record->mm);
        free(record);
        return status;
    }
    status = ParseIniFile(record, fileName, log);
    if (status != ERROR_NONE) {
        int savedErrno = errno; /* the caller names the reason of ERROR_FILE_OPEN */

        KXIniFileFree(&record, log);
        errno = savedErrno;
        return status;
    }
    *iniFile = record;
    return ERROR_NONE;
}

static void KXIniFileFreeSection(KXIniFile *iniFile, const char *section, KXLog *log)
{
    KXStringList *keys = NULL;
    KXHash *keyHash;
    KXStatus status;
    int size = 0;
    int i;

    keyHash = KXHashGet(iniFile->sections, iniFile->mm, section, &status);
    if (status != ERROR_NONE || keyHash == NULL) {
        KXLogWrite(log, "KXIniFileFreeSection(): couldn't get section [%s] from hash (%d)", section,
                   status);
        return;
    }
    status = KXStringListNew(&keys);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileFreeSection(): couldn't create string list (%d)", status);
        return;
    }
    status = KXHashKeys(keyHash, iniFile->mm, keys);
    if (status != ERROR_NONE)
        KXLogWrite(log, "KXIniFileFreeSection(): couldn't get keys from hash (%d)", status);
    else if ((status = KXStringListSize(keys, &size)) != ERROR_NONE)
        KXLogWrite(log, "KXIniFileFreeSection(): couldn't get key list size (%d)", status);
    for (i = 0; status == ERROR_NONE && i < size; i++) {
        KXStatus itemStatus;
        const char *key = KXStringListElementAt(keys, i, &itemStatus);
        char *value;

        if (itemStatus != ERROR_NONE) {
            KXLogWrite(log, "KXIniFileFreeSection(): couldn't get key #%d (%d)", i, itemStatus);
            continue;
        }
        value = KXHashGet(keyHash, iniFile->mm, key, &itemStatus);
        if (itemStatus != ERROR_NONE) {
            KXLogWrite(log, "KXIniFileFreeSection(): couldn't get value for key %s (%d)", key,
                       itemStatus);
            continue;
        }
        free(value);
    }
    KXStringListFree(&keys);
    KXHashFree(&keyHash, iniFile->mm);
    KXHashRemove(iniFile->sections, iniFile->mm, section);
}

KXStatus KXIniFileFree(KXIniFile **iniFile, KXLog *log)
{
    KXIniFile *record;
    KXStringList *sections = NULL;
    KXStatus status;
    int size = 0;
    int i;

    if (iniFile == NULL || *iniFile == NULL)
        return ERROR_PARAMETER;
    record = *iniFile;
    if (record->sections != NULL) {
        status = KXStringListNew(&sections);
        if (status != ERROR_NONE) {
            KXLogWrite(log, "KXIniFileFree(): couldn't create string list (%d)", status);
        } else {
            status = KXHashKeys(record->sections, record->mm, sections);
            if (status != ERROR_NONE)
                KXLogWrite(log, "KXIniFileFree(): couldn't get section list from hash (%d)",
                           status);
            else if ((status = KXStringListSize(sections, &size)) != ERROR_NONE)
                KXLogWrite(log, "KXIniFileFree(): couldn't get section count (%d)", status);
            for (i = 0; status == ERROR_NONE && i < size; i++) {
                KXStatus itemStatus;
                const char *name = KXStringListElementAt(sections, i, &itemStatus);

                if (itemStatus != ERROR_NONE)
                    KXLogWrite(log, "KXIniFileFree(): couldn't get section #%d (%d)", i,
                               itemStatus);
                else
                    KXIniFileFreeSection(record, name, log);
            }
            KXStringListFree(&sections);
        }
        KXHashFree(&record->sections, record->mm);
    }
    if (record->lines != NULL)
        KXHashFree(&record->lines, record->mm);
    free(record->problem);
    if (record->mm != NULL)
        record->mm->Free(&record->mm);
    free(record);
    *iniFile = NULL;
    return ERROR_NONE;
}

int KXIniFileLineOf(KXIniFile *iniFile, const char *section, const char *key)
{
    size_t sectionLength, keyLength;
    char *name;
    void *line;

    if (iniFile == NULL || section == NULL)
        return 0;
    sectionLength = strlen(section);
    keyLength = key != NULL ? strlen(key) : 0;
    name = malloc(sectionLength + keyLength + 2);
    if (name == NULL)
        return 0;
    memcpy(name, section, sectionLength + 1);
    if (key != NULL) {
        name[sectionLength] = '\n';
        memcpy(name + sectionLength + 1, key, keyLength + 1);
    }
    line = KXHashGet(iniFile->lines, iniFile->mm, name, NULL);
    free(name);
    return (int)(intptr_t)line;
}

const char *KXIniFileProblem(const KXIniFile *iniFile, int *line)
{
    if (iniFile == NULL || iniFile->problem == NULL)
        return NULL;
    if (line != NULL)
        *line = iniFile->problemLine;
    return iniFile->problem;
}

/* The key hash of a section: 40001 when absent, nothing logged. */
static KXStatus LookUpSection(KXIniFile *iniFile, const char *section, KXHash **keys)
{
    KXStatus status;

    *keys = KXHashGet(iniFile->sections, iniFile->mm, section, &status);
    if (status != ERROR_NONE)
        return status;
    return *keys != NULL ? ERROR_NONE : ERROR_INIFILE_SECTION;
}

KXStatus KXIniFileGetString(KXIniFile *iniFile, const char *section, const char *key, char *buffer,
                            int *size, KXLog *log)
{
    KXHash *keys;
    const char *value;
    KXStatus status;
    int required;

    if (iniFile == NULL || section == NULL || key == NULL || buffer == NULL || size == NULL) {
        KXLogWrite(log, "KXIniFileGetString(): invalid parameter (0x%lx, 0x%lx, 0x%lx, 0x%lx, 0x%lx)",
                   (unsigned long)(uintptr_t)iniFile, (unsigned long)(uintptr_t)section,
                   (unsigned long)(uintptr_t)key, (unsigned long)(uintptr_t)buffer,
                   (unsigned long)(uintptr_t)size);
        return ERROR_PARAMETER;
    }
    status = LookUpSection(iniFile, section, &keys);
    if (status == ERROR_INIFILE_SECTION)
        return status;
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileGetString(): couldn't get key hash for section [%s] (%d)",
                   section, status);
        return status;
    }
    value = KXHashGet(keys, iniFile->mm, key, &status);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileGetString(): couldn't get key '%s' from hash (%d)", key, status);
        return status;
    }
    if (value == NULL)
        return ERROR_INIFILE_KEY;

    required = (int)strlen(value) + 1;
    if (*size >= required) {
        memcpy(buffer, value, (size_t)required);
        return ERROR_NONE;
    }
    KXLogWrite(log, "KXIniFileGetString(): Insufficient buffer size: %d, required: %d", *size,
               required);
    *size = required;
    return ERROR_BUFFER_SIZE;
}

KXStatus KXIniFileGetInt(KXIniFile *iniFile, const char *section, const char *key, int *value,
                         KXLog *log)
{
    char buffer[KX_INIFILE_INT_SIZE] = "";
    int size = (int)sizeof(buffer);
    char *end;
    long number;
    KXStatus status;

    if (iniFile == NULL) {
        KXLogWrite(log, "KXIniFileGetInt(): parameter pThis is NULL");
        return ERROR_PARAMETER;
    }
    if (section == NULL) {
        KXLogWrite(log, "KXIniFileGetInt(): parameter pSection is NULL");
        return ERROR_PARAMETER;
    }
    if (key == NULL) {
        KXLogWrite(log, "KXIniFileGetInt(): parameter pKey is NULL");
        return ERROR_PARAMETER;
    }
    if (value == NULL) {
        KXLogWrite(log, "KXIniFileGetInt(): parameter pValue is NULL");
        return ERROR_PARAMETER;
    }
    status = KXIniFileGetString(iniFile, section, key, buffer, &size, log);
    if (status != ERROR_NONE)
        return status;

    errno = 0;
    number = strtol(buffer, &end, 10);
    /* A long may be wider than an int: values beyond the int range are out
     * of range just as they are where both have the same width. */
    if (errno == 0 && (number > INT_MAX || number < INT_MIN)) {
        errno = ERANGE;
        number = number > INT_MAX ? INT_MAX : INT_MIN;
    }
    *value = (int)number;
    if (errno != 0 || *end != '\0') {
        KXLogWrite(log, "KXIniFileGetInt(): Error converting to int: %s", buffer);
        return ERROR_INIFILE_CONVERT;
    }
    return ERROR_NONE;
}

KXStatus KXIniFileGetSections(KXIniFile *iniFile, KXStringList *sections, KXLog *log)
{
    KXStatus status;

    if (iniFile == NULL) {
        KXLogWrite(log, "KXIniFileGetSections(): parameter pThis is NULL");
        return ERROR_PARAMETER;
    }
    if (sections == NULL) {
        KXLogWrite(log, "KXIniFileGetSections(): parameter pSectionList is NULL");
        return ERROR_PARAMETER;
    }
    status = KXStringListClear(sections);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileGetSections(): couldn't clear string list (%d)", status);
        return status;
    }
    status = KXHashKeys(iniFile->sections, iniFile->mm, sections);
    if (status != ERROR_NONE)
        KXLogWrite(log, "KXIniFileGetSections(): couldn't get sections from hash (%d)", status);
    return status;
}

KXStatus KXIniFileGetSectionKeys(KXIniFile *iniFile, const char *section, KXStringList *keys,
                                 KXLog *log)
{
    KXHash *keyHash;
    KXStatus status;

    if (iniFile == NULL) {
        KXLogWrite(log, "KXIniFileGetSectionKeys(): parameter pThis is NULL");
        return ERROR_PARAMETER;
    }
    if (section == NULL) {
        KXLogWrite(log, "KXIniFileGetSectionKeys(): parameter pSection is NULL");
        return ERROR_PARAMETER;
    }
    if (keys == NULL) {
        KXLogWrite(log, "KXIniFileGetSectionKeys(): parameter pKeyList is NULL");
        return ERROR_PARAMETER;
    }
    status = LookUpSection(iniFile, section, &keyHash);
    if (status == ERROR_INIFILE_SECTION)
        return status;
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileGetSectionKeys(): couldn't get key hash from hash (%d)", status);
        return status;
    }
    status = KXStringListClear(keys);
    if (status != ERROR_NONE) {
        KXLogWrite(log, "KXIniFileGetSectionKeys(): couldn't clear string list (%d)", status);
        return status;
    }
    status = KXHashKeys(keyHash, iniFile->mm, keys);
    if (status != ERROR_NONE)
        KXLogWrite(log, "KXIniFileGetSectionKeys(): couldn't get keys from key hash (%d)", status);
    return status;
}
