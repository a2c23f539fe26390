#include "foundation/Exceptions.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMessageSize = 8192;
constexpr size_t kErrorTextSize = 256;

}  // namespace

CException::CException(const char* message) : mMessage(message != nullptr ? message : "") {}

CException::CException(const std::string& message) : mMessage(message) {}

CException::~CException() = default;

const char* CException::what() const noexcept
{
    return mMessage.c_str();
}

CWIException::CWIException(KXStatus status, const char* format, ...) : mStatus(status)
{
    va_list args;
    va_start(args, format);
    _setMessage(args, format, "CWIException()");
    va_end(args);
}

CWIException::~CWIException() = default;

void CWIException::_setMessage(va_list& args, const char* format, const char* caller)
{
    if (format == nullptr) {
        mMessage = std::string("NULL pointer passed to ") + caller;
        return;
    }
    char text[kMessageSize];
    if (vsnprintf(text, sizeof(text), format, args) < 0)
        text[0] = '\0';
    mMessage = text;
    mMessage += " (status=" + std::to_string(mStatus) + ")";
}

CWIExceptionLimited::CWIExceptionLimited(KXStatus status, const char* key, const char* text,
                                         const char* format, ...)
    : CWIException(status),
      mLimitKey(key != nullptr ? key : ""),
      mLimitText(text != nullptr ? text : "")
{
    va_list args;
    va_start(args, format);
    // Without a key the limit cannot work: refused like a missing format.
    _setMessage(args, key != nullptr ? format : nullptr, "CWIExceptionLimited()");
    va_end(args);
}

CWIExceptionLimited::~CWIExceptionLimited() = default;

CSocketException::CSocketException(const char* prefix, int error) : mError(error)
{
    _formatMessage(prefix);
}

CSocketException::CSocketException(const char* prefix) : mError(GetLastSocketError())
{
    _formatMessage(prefix);
}

CSocketException::CSocketException(int error) : mError(error)
{
    _formatMessage(nullptr);
}

CSocketException::CSocketException() : mError(GetLastSocketError())
{
    _formatMessage(nullptr);
}

CSocketException::CSocketException(const char* prefix, int error, const std::string& reason)
    : mError(error)
{
    mMessage = std::string(prefix != nullptr ? prefix : "") + ": " + reason;
}

CSocketException::~CSocketException() = default;

int CSocketException::GetLastSocketError()
{
    return errno;
}

void CSocketException::_formatMessage(const char* prefix)
{
    char text[kErrorTextSize] = {};
    // The GNU strerror_r may return a static text instead of filling ours.
    const char* system = strerror_r(mError, text, sizeof(text) - 1);
    if (system != text)
        strncpy(text, system, sizeof(text) - 1);
    if (prefix != nullptr)
        mMessage = std::string(prefix) + ": " + text;
    else
        mMessage = text;
}

CServiceException::CServiceException(const std::string& message, int code)
    : CException(message), mCode(code)
{
}

CServiceException::CServiceException(const char* message, int code)
    : CException(message), mCode(code)
{
}

CServiceException::~CServiceException() = default;
