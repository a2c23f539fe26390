#include "foundation/Log.h"

KXLog* CLog::_pKXLog = nullptr;

// Other units build tables before main and may log while doing so; the log
// must exist before any of them, whatever the link order.
CLog CLog::log __attribute__((init_priority(101)));

CLog::CLog()
{
    KXLogNew(&_pKXLog);
    KXLogSetFallbackFilehandle(_pKXLog, KXFileStderr);
    KXLogSetOutputFilehandle(_pKXLog, KXFileStderr);
}

CLog::~CLog()
{
    KXLogFree(&_pKXLog);
}

void CLog::setFileName(const char* path)
{
    if (KXLogSetOutputFile(_pKXLog, path) != 0)
        throw CWIException(ERROR_FILE, "Can't set log file to '%s'", path != nullptr ? path : "");
}

void CLog::setFileHandle(KXFile* handle)
{
    if (KXLogSetOutputFilehandle(_pKXLog, handle) == -1)
        throw KXStatus(ERROR_FILE);
}

CLogger::~CLogger()
{
    KXLogWrite(CLog::_pKXLog, "%s", str().c_str());
}
