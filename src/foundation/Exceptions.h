// The exception tree of the object layer. Base-library functions return a
// KXStatus; the object layer throws one of these, worded as
// "Class::method(): ...".
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

#include "baselib/kx_status.h"

class CException : public std::exception {
public:
    explicit CException(const char* message);
    explicit CException(const std::string& message);
    ~CException() override;
    const char* what() const noexcept override;

protected:
    CException() = default;
    std::string mMessage;
};

class CWIException : public CException {
public:
    CWIException(KXStatus status, const char* format, ...) __attribute__((format(printf, 3, 4)));
    ~CWIException() override;
    KXStatus getStatus() const { return mStatus; }

protected:
    explicit CWIException(KXStatus status) : mStatus(status) {}
    // Formats the message; a null format (or key) is named by `caller` instead.
    void _setMessage(va_list& args, const char* format, const char* caller)
        __attribute__((format(printf, 3, 0)));
    KXStatus mStatus;
};

class CWIExceptionLimited : public CWIException {
public:
    CWIExceptionLimited(KXStatus status, const char* key, const char* text, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    ~CWIExceptionLimited() override;
    const char* getLimitKey() const { return mLimitKey.c_str(); }
    const char* getLimitText() const { return mLimitText.c_str(); }

private:
    std::string mLimitKey;
    std::string mLimitText;
};

class CSocketException : public CException {
public:
    CSocketException(const char* prefix, int error);
    explicit CSocketException(const char* prefix);
    explicit CSocketException(int error);
    CSocketException();
    // prefix + ": " + reason, for failures that errno does not describe (the
    // resolver's); `error` is kept as the error code.
    CSocketException(const char* prefix, int error, const std::string& reason);
    ~CSocketException() override;
    int getError() const { return mError; }
    static int GetLastSocketError();

private:
    void _formatMessage(const char* prefix);
    int mError;
};

class CServiceException : public CException {
public:
    CServiceException(const std::string& message, int code);
    CServiceException(const char* message, int code);
    ~CServiceException() override;
    int getCode() const { return mCode; }

private:
    int mCode;
};
