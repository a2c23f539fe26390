#include "foundation/Log.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>

#include "foundation/Exceptions.h"

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
    // Opened as every line opens it, so that the file it may create gets
    // the log's mode and a FIFO in its place cannot block the start.
    char reason[256];
    if (KXLogCheckOutputFile(_pKXLog, reason, sizeof reason) != 0)
        throw CWIException(ERROR_FILE, "Can't write log file '%s' (%s)", path.c_str(), reason);
}

void CLog::setFileHandle(KXFile* handle)
{
    if (KXLogSetOutputFilehandle(_pKXLog, handle) == -1)
        throw KXStatus(ERROR_FILE);
    LogFileName().clear();
}

CLogger::~CLogger()
{
    KXLogWrite(CLog::_pKXLog, "%s", mText.c_str());
}

namespace {

// As an output stream shows the value.
template <class T>
void Append(std::string& text, T value)
{
    std::ostringstream stream;
    stream << value;
    text += stream.str();
}

}  // namespace

CLogger& CLogger::operator<<(const std::string& text)
{
    mText += text;
    return *this;
}

CLogger& CLogger::operator<<(const char* text)
{
    Append(mText, text);
    return *this;
}

CLogger& CLogger::operator<<(char c)
{
    mText += c;
    return *this;
}

// clang-format off
CLogger& CLogger::operator<<(bool value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(int value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(unsigned value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(long value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(unsigned long value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(long long value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(unsigned long long value) { Append(mText, value); return *this; }
CLogger& CLogger::operator<<(double value) { Append(mText, value); return *this; }
// clang-format on

// The unwind of a cancelled thread is caught by a reference to an object that
// does not exist (the runtime's own idiom for letting it pass); the undefined
// behaviour sanitizer would stop the process at that binding, so it is left
// out of this function.
__attribute__((no_sanitize_undefined)) KXStatus LogCurrentException(const char* where)
{
    if (where == nullptr)
        where = "CatchWIExcpetion";
    try {
        throw;
    } catch (CWIExceptionLimited& e) {
        KXLogWriteLimited(CLog::_pKXLog, e.getLimitKey(), e.getLimitText(), "%s(): %s", where,
                          e.what());
        return e.getStatus();
    } catch (CWIException& e) {
        KXLogWrite(CLog::_pKXLog, "%s(): %s", where, e.what());
        return e.getStatus();
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "%s(): %s", where, e.what());
        return ERROR_GENERAL;
    } catch (abi::__forced_unwind&) {
        // A cancelled thread unwinds with this; swallowing it aborts the process.
        throw;
    } catch (...) {
        KXLogWrite(CLog::_pKXLog, "%s(): generic exception caught", where);
        return ERROR_GENERAL;
    }
}
