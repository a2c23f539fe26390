/* INI file reader: reads a whole file at creation into nested hashes
 * (section name -> key hash, key -> value) and answers lookups. Content
 * problems are logged per line and skipped, and the first one is kept for
 * callers that refuse a file with any; only I/O and memory failures and a
 * path that is no regular file make creation fail. */
#ifndef KX_INIFILE_H
#define KX_INIFILE_H

#include "baselib/kx_hash.h"
#include "baselib/kx_log.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_status.h"
#include "baselib/kx_stringlist.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KXIniFile {
    KXHash *sections;
    KXMemoryManager *mm;
    KXHash *lines;   /* "section" and "section\nkey" -> line number */
    int problemLine; /* line of the first refused line, 0 when none */
    char *problem;   /* why it was refused (the record's), or null */
} KXIniFile;

/* A line is read into a buffer of this many bytes; a longer line (more
 * than KX_INIFILE_LINE_SIZE - 1 bytes without its line end) is refused
 * whole. */
#define KX_INIFILE_LINE_SIZE 8191

/* Every function logs its failures to log (which may be null). */

/* Reads fileName whole into *iniFile (which must be null); the caller frees
 * it with KXIniFileFree. ERROR_MEMORY, ERROR_FILE_OPEN with errno left
 * telling why the file could not be opened, or ERROR_FILE_TYPE when it is
 * no regular file (a FIFO is refused, never waited for). */
KXStatus KXIniFileNew(KXIniFile **iniFile, const char *fileName, KXLog *log);
/* Frees every section, key and value and the record; nulls *iniFile. */
KXStatus KXIniFileFree(KXIniFile **iniFile, KXLog *log);
/* Copies the value of key in section into buffer (*size bytes); when it
 * does not fit, *size becomes the size needed and ERROR_BUFFER_SIZE is
 * returned. ERROR_INIFILE_SECTION / ERROR_INIFILE_KEY when absent. */
KXStatus KXIniFileGetString(KXIniFile *iniFile, const char *section, const char *key, char *buffer,
                            int *size, KXLog *log);
/* The value as a decimal integer in *value; ERROR_INIFILE_CONVERT when it
 * is not one; otherwise as KXIniFileGetString. */
KXStatus KXIniFileGetInt(KXIniFile *iniFile, const char *section, const char *key, int *value,
                         KXLog *log);
/* The line number of section's header (key null) or of key in section;
 * 0 when there is none. */
int KXIniFileLineOf(KXIniFile *iniFile, const char *section, const char *key);
/* The reason the first refused line was refused (the record's text, printable
 * ASCII only) and its number in *line (may be null); null when no line was
 * refused. */
const char *KXIniFileProblem(const KXIniFile *iniFile, int *line);
/* Appends the section names, or the keys of one section, to the caller's
 * list; ERROR_INIFILE_SECTION for an unknown section. */
KXStatus KXIniFileGetSections(KXIniFile *iniFile, KXStringList *sections, KXLog *log);
KXStatus KXIniFileGetSectionKeys(KXIniFile *iniFile, const char *section, KXStringList *keys,
                                 KXLog *log);

#ifdef __cplusplus
}
#endif

#endif
