// The process log. Everything writes through CLog::_pKXLog; CLogger turns a
// streamed text into one line; CatchWIException runs work and logs what it
// throws.
#pragma once

#include <string>

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
    // reason, or why the file was refused (a symbolic link, not a regular
    // file), when that fails; does nothing while the log goes to a handle.
    static void checkWritable();

    static KXLog* _pKXLog;
    static CLog log;
};

// Collects what is streamed into it and writes it as one log line when it
// goes out of scope.
class CLogger {
public:
    CLogger() = default;
    ~CLogger();
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    CLogger& operator<<(const std::string& text);
    CLogger& operator<<(const char* text);
    CLogger& operator<<(char c);
    CLogger& operator<<(bool value);
    CLogger& operator<<(int value);
    CLogger& operator<<(unsigned value);
    CLogger& operator<<(long value);
    CLogger& operator<<(unsigned long value);
    CLogger& operator<<(long long value);
    CLogger& operator<<(unsigned long long value);
    CLogger& operator<<(double value);

private:
    std::string mText;
};

// Logs the exception being handled as "where(): what" and returns its status
// (that of a CWIException, ERROR_GENERAL for any other). The unwinding of a
// cancelled thread is passed on. Call it only inside a catch block.
KXStatus LogCurrentException(const char* where);

// Runs work; what it throws is logged and turned into a status.
template <class F>
KXStatus CatchWIException(const char* where, F work)
{
    try {
        work();
        return ERROR_NONE;
    } catch (...) {
        return LogCurrentException(where);
    }
}
