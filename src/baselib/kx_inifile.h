/* INI file reader: reads a whole file at creation into nested hashes
 * (section name -> key hash, key -> value) and answers lookups. Content
 * problems are logged per line and skipped; only I/O and memory failures
 * make creation fail. */
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
} KXIniFile;

/* A line is read into a buffer of this many bytes. */
#define KX_INIFILE_LINE_SIZE 8191

/* ERROR_FILE_OPEN leaves errno telling why the file could not be opened. */
KXStatus KXIniFileNew(KXIniFile **iniFile, const char *fileName, KXLog *log);
KXStatus KXIniFileFree(KXIniFile **iniFile, KXLog *log);
KXStatus KXIniFileGetString(KXIniFile *iniFile, const char *section, const char *key, char *buffer,
                            int *size, KXLog *log);
KXStatus KXIniFileGetInt(KXIniFile *iniFile, const char *section, const char *key, int *value,
                         KXLog *log);
KXStatus KXIniFileGetSections(KXIniFile *iniFile, KXStringList *sections, KXLog *log);
KXStatus KXIniFileGetSectionKeys(KXIniFile *iniFile, const char *section, KXStringList *keys,
                                 KXLog *log);

#ifdef __cplusplus
}
#endif

#endif
