#include "foundation/Log.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

// The file named last; empty while the log goes to a handle.
std::string& LogFileName()
{
    static std::string name;
    return name;
}

}  // namespace

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
    LogFileName() = path;
}

void CLog::checkWritable()
{
    const std::string& path = LogFileName();
    if (path.empty())
        return;
    KXFile* file = nullptr;
    if (KXFileOpen(&file, path.c_str(), "a") != ERROR_NONE) {
        int error = errno;
        throw CWIException(ERROR_FILE, "Can't write log file '%s' (%s)", path.c_str(),
                           strerror(error));
    }
    KXFileClose(&file);
}

void CLog::setFileHandle(KXFile* handle)
{
    if (KXLogSetOutputFilehandle(_pKXLog, handle) == -1)
        throw KXStatus(ERROR_FILE);
    LogFileName().clear();
}

CLogger::~CLogger()
{
    KXLogWrite(CLog::_pKXLog, "%s", str().c_str());
}
