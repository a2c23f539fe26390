#include "foundation/IniFile.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "foundation/Exceptions.h"
#include "foundation/KXStringList.h"
#include "foundation/Log.h"
#include "foundation/SplitWords.h"

namespace {

const size_t DETAILS_SIZE = 8192;
const size_t STRING_BUFFER_SIZE = 8192;

// Exactly one integer, blanks around it allowed and nothing else.
bool ReadWholeInt(const std::string& text, int& value)
{
    std::istringstream in(text);
    char rest;
    if (!(in >> value))
        return false;
    return !(in >> rest);
}

std::vector<std::string> CopyList(const CKXStringList& list)
{
    std::vector<std::string> result;
    int size = list.size();
    result.reserve(static_cast<size_t>(size));
    for (int i = 0; i < size; i++)
        result.emplace_back(list.elementAt(i));
    return result;
}

}  // namespace

CIniFile::CIniFile(const char* fileName) : mFileName(fileName != nullptr ? fileName : "")
{
    KXStatus status = KXIniFileNew(&mIniFile, fileName, CLog::_pKXLog);
    // A file that cannot be opened is named with the OS reason: a missing
    // file and a forbidden one need different remedies.
    if (status == ERROR_FILE_OPEN) {
        int error = errno;
        throw CWIException(status, "CIniFile::CIniFile(): KXIniFileNew() failed in file %s (%s)",
                           mFileName.c_str(), strerror(error));
    }
    if (status == ERROR_FILE_TYPE)
        throw CWIException(status,
                           "CIniFile::CIniFile(): KXIniFileNew() failed in file %s (not a regular file)",
                           mFileName.c_str());
    if (status != ERROR_NONE)
        throwWIException(status, "CIniFile", "KXIniFileNew() failed");
}

int CIniFile::lineOf(const std::string& section, const char* key) const
{
    return KXIniFileLineOf(mIniFile, section.c_str(), key);
}

bool CIniFile::firstRefusedLine(int& line, std::string& reason) const
{
    const char* problem = KXIniFileProblem(mIniFile, &line);
    if (problem == nullptr)
        return false;
    reason = problem;
    return true;
}

void CIniFile::throwAtLine(int line, const std::string& reason) const
{
    throw CWIException(ERROR_GENERAL, "%s:%d: %s", mFileName.c_str(), line, reason.c_str());
}

CIniFile::~CIniFile()
{
    if (mIniFile != nullptr)
        KXIniFileFree(&mIniFile, CLog::_pKXLog);
}

void CIniFile::throwWIException(KXStatus status, const char* method, const char* format, ...) const
{
    char details[DETAILS_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(details, sizeof(details), format, args);
    va_end(args);
    std::string text =
        std::string("CIniFile::") + method + "(): " + details + " in file " + mFileName;
    throw CWIException(status, "%s", text.c_str());
}

std::string CIniFile::getString(const char* section, const char* key) const
{
    std::vector<char> buffer(STRING_BUFFER_SIZE, '\0');
    int size = static_cast<int>(buffer.size());
    KXStatus status =
        KXIniFileGetString(mIniFile, section, key, buffer.data(), &size, CLog::_pKXLog);
    if (status == ERROR_BUFFER_SIZE) {
        // The reader told us the size it needs; one more attempt suffices.
        buffer.assign(static_cast<size_t>(size), '\0');
        status = KXIniFileGetString(mIniFile, section, key, buffer.data(), &size, CLog::_pKXLog);
    }
    if (status != ERROR_NONE)
        throwWIException(status, "getString", "failed for section '%s', key '%s'",
                         section != nullptr ? section : "(null)", key != nullptr ? key : "(null)");
    return std::string(buffer.data());
}

int CIniFile::getInt(const char* section, const char* key) const
{
    int value = 0;
    KXStatus status = KXIniFileGetInt(mIniFile, section, key, &value, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throwWIException(status, "getInt", "failed for section '%s', key '%s'",
                         section != nullptr ? section : "(null)", key != nullptr ? key : "(null)");
    return value;
}

bool CIniFile::getBoolean(const char* section, const char* key) const
{
    return parseBoolean(getString(section, key));
}

bool CIniFile::parseBoolean(const std::string& text) const
{
    if (text == "1" || text == "TRUE" || text == "ON")
        return true;
    if (text == "0" || text == "FALSE" || text == "OFF")
        return false;
    throwWIException(ERROR_INIFILE_CONVERT, "parseBoolean", "invalid boolean value '%s'",
                     text.c_str());
}

std::vector<std::string> CIniFile::getStringList(const char* section, const char* key,
                                                 const char* separators) const
{
    return SplitWords(getString(section, key), separators);
}

std::vector<int> CIniFile::getIntList(const char* section, const char* key,
                                      const char* separators) const
{
    return parseIntList(getString(section, key), separators);
}

std::vector<int> CIniFile::parseIntList(const std::string& text, const char* separators) const
{
    std::vector<int> values;
    for (const std::string& item : SplitWords(text, separators)) {
        // A dash at the start is a sign and one at the end is no range.
        size_t dash = item.find('-');
        if (dash == 0)
            dash = item.find('-', 1);
        if (dash != std::string::npos && dash == item.size() - 1)
            dash = item.find('-', dash + 1);

        if (dash != std::string::npos) {
            std::vector<int> range = parseIntRange(item, dash);
            if (values.size() + range.size() > MAX_LIST_VALUES)
                throwWIException(ERROR_INIFILE_CONVERT, "parseIntList", "invalid range '%s'",
                                 item.c_str());
            values.insert(values.end(), range.begin(), range.end());
            continue;
        }

        std::istringstream in(item);
        int value;
        if (!(in >> value))
            throwWIException(ERROR_INIFILE_CONVERT, "parseIntList", "invalid integer value '%s'",
                             item.c_str());
        if (values.size() >= MAX_LIST_VALUES)
            throwWIException(ERROR_INIFILE_CONVERT, "parseIntList", "invalid range '%s'",
                             item.c_str());
        values.push_back(value);
    }
    return values;
}

std::vector<int> CIniFile::parseIntRange(const std::string& item, size_t dashPosition) const
{
    if (dashPosition == 0 || dashPosition == std::string::npos || item.empty() ||
        dashPosition >= item.size() - 1)
        throwWIException(ERROR_INIFILE_CONVERT, "parseIntRange", "invalid range '%s'",
                         item.c_str());

    size_t firstStart = item.find_first_not_of(" \t");
    size_t secondStart = item.find_first_not_of(" \t", dashPosition + 1);
    std::string firstText =
        firstStart < dashPosition ? item.substr(firstStart, dashPosition - firstStart) : "";
    std::string secondText = secondStart != std::string::npos ? item.substr(secondStart) : "";
    int first = 0;
    int second = 0;
    if (!ReadWholeInt(firstText, first) || !ReadWholeInt(secondText, second))
        throwWIException(ERROR_INIFILE_CONVERT, "parseIntRange", "invalid integer range '%s'",
                         item.c_str());

    // Without a bound, 1-2147483647 would try to allocate billions of values.
    int64_t count = (second >= first ? int64_t(second) - first : int64_t(first) - second) + 1;
    if (count > int64_t(MAX_RANGE_VALUES))
        throwWIException(ERROR_INIFILE_CONVERT, "parseIntRange", "invalid range '%s'",
                         item.c_str());

    std::vector<int> values;
    values.reserve(static_cast<size_t>(count));
    int step = second >= first ? 1 : -1;
    for (int64_t value = first;; value += step) {
        values.push_back(static_cast<int>(value));
        if (value == second)
            break;
    }
    return values;
}

std::vector<std::string> CIniFile::getKeys(const std::string& section) const
{
    CKXStringList list;
    KXStatus status = KXIniFileGetSectionKeys(mIniFile, section.c_str(), list, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throwWIException(status, "getKeys", "failed for section '%s'", section.c_str());
    return CopyList(list);
}

std::vector<std::string> CIniFile::getSections() const
{
    CKXStringList list;
    KXStatus status = KXIniFileGetSections(mIniFile, list, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throwWIException(status, "getSections", "failed");
    return CopyList(list);
}
