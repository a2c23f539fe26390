// Typed access to an INI file: strings, integers, booleans, string lists and
// integer lists with ranges, section and key names. Every failure throws
// CWIException naming the method, the section and key, and the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "baselib/kx_inifile.h"
#include "baselib/kx_status.h"

class CIniFile {
public:
    explicit CIniFile(const char* fileName);
    ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    std::string getString(const char* section, const char* key) const;
    int getInt(const char* section, const char* key) const;
    bool getBoolean(const char* section, const char* key) const;
    std::vector<std::string> getStringList(const char* section, const char* key,
                                           const char* separators) const;
    std::vector<int> getIntList(const char* section, const char* key,
                                const char* separators) const;
    std::vector<std::string> getKeys(const std::string& section) const;
    // The line of the section's header (key null) or of the key; 0 if none.
    int lineOf(const std::string& section, const char* key = nullptr) const;
    // The first line the reader refused (logged and skipped), as its number
    // and reason; false when it refused none.
    bool firstRefusedLine(int& line, std::string& reason) const;
    // Throws CWIException "<file>:<line>: <reason>", the form every refusal
    // of a file's content takes where a single bad line refuses the file.
    [[noreturn]] void throwAtLine(int line, const std::string& reason) const;
    std::vector<std::string> getSections() const;

    // The readers' parsers of a value, for a text that does not come from
    // the file; they throw as getIntList does.
    std::vector<int> parseIntList(const std::string& text, const char* separators) const;
    std::vector<int> parseIntRange(const std::string& item, size_t dashPosition) const;

    const std::string& getFileName() const { return mFileName; }

    // Self test against the prepared test file; stops the process through
    // an assertion when a check fails.
    static void test(const char* fileName);

private:
    // Bounds on how far integer lists may expand, so that a range such as
    // 1-2147483647 is refused instead of exhausting memory.
    static constexpr size_t MAX_RANGE_VALUES = 65536;
    static constexpr size_t MAX_LIST_VALUES = 1048576;

    bool parseBoolean(const std::string& text) const;
    [[noreturn]] void throwWIException(KXStatus status, const char* method, const char* format,
                                       ...) const __attribute__((format(printf, 4, 5)));

    KXIniFile* mIniFile = nullptr;
    std::string mFileName;
};
