// The process log. Everything writes through CLog::_pKXLog; CLogger turns a
// streamed text into one line; CatchWIException runs work and logs what it
// throws.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <sstream>

#include "baselib/kx_log.h"
#include "baselib/kx_status.h"
#include "foundation/Exceptions.h"

class CLog {
public:
    CLog();
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Throws CWIException(50000, "Can't set log file to '%s'").
    static void setFileName(const char* path);
    // Throws the bare KXStatus 50000 on failure.
    static void setFileHandle(KXFile* handle);
    // Opens the log file for appending once, as every log line will. Throws
    // CWIException(50000, "Can't write log file '%s' (%s)") with the OS
    // reason when that fails; does nothing while the log goes to a handle.
    static void checkWritable();

    static KXLog* _pKXLog;
    static CLog log;
};

class CLogger : public std::ostringstream {
public:
    CLogger() = default;
    ~CLogger() override;
};

// The unwind of a cancelled thread is caught by a reference to an object that
// does not exist (the runtime's own idiom for letting it pass); the undefined
// behaviour sanitizer would stop the process at that binding, so it is left
// out of this function (the work's own code is still checked).
template <class F>
__attribute__((no_sanitize_undefined)) KXStatus CatchWIException(const char* where, F work)
{
    if (where == nullptr)
        where = "CatchWIExcpetion";
    try {
        work();
        return ERROR_NONE;
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
