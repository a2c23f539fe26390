// CIniFile::test: checks the typed readers against a prepared file with one
// section "test" of 17 keys and prints one line per check.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/Assert.h"
#include "foundation/Exceptions.h"
#include "foundation/IniFile.h"

namespace {

const char SEPARATORS[] = " ,\n\t";

template <class T>
std::string Show(const T& value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}

template <class T>
std::string Show(const std::vector<T>& values)
{
    std::ostringstream out;
    out << "(";
    for (size_t i = 0; i < values.size(); i++)
        out << (i ? ", " : "") << values[i];
    out << ")";
    return out.str();
}

std::vector<int> Sequence(int from, int to)
{
    std::vector<int> values;
    for (int v = from; v <= to; v++)
        values.push_back(v);
    return values;
}

// Numbers and reports checks; prints the summary at the end.
class SelfTestRun {
public:
    explicit SelfTestRun(std::string name) : mName(std::move(name)) {}

    void ok(bool passed, const std::string& text)
    {
        mNumber++;
        if (!passed)
            mFailed++;
        std::printf("%s %d - %s\n", passed ? "ok" : "failed", mNumber, text.c_str());
    }

    template <class T>
    void equal(const T& actual, const T& expected, const std::string& text)
    {
        bool passed = actual == expected;
        ok(passed, text);
        if (!passed) {
            std::printf("    actual: %s\n", Show(actual).c_str());
            std::printf("  expected: %s\n", Show(expected).c_str());
        }
    }

    // Passes when work throws a CWIException accepted by `accept`.
    void throws(const std::function<void()>& work,
                const std::function<bool(const CWIException&)>& accept, const std::string& text)
    {
        bool passed = false;
        try {
            work();
        } catch (const CWIException& e) {
            passed = accept(e);
        } catch (...) {
        }
        ok(passed, text);
    }

    int finish() const
    {
        std::string prefix = mName.empty() ? "" : "# " + mName + ": ";
        if (mFailed == 0)
            std::printf("%sAll tests succeeded.\n", prefix.c_str());
        else
            std::printf("%s%d test(s) failed.\n", prefix.c_str(), mFailed);
        std::fflush(stdout);
        return mFailed;
    }

private:
    std::string mName;
    int mNumber = 0;
    int mFailed = 0;
};

}  // namespace

void CIniFile::test(const char* fileName)
{
    CIniFile ini(fileName);
    SelfTestRun run("");
    auto any = [](const CWIException&) { return true; };

    std::vector<std::string> sections = ini.getSections();
    run.equal(sections.size(), size_t(1), "one section");
    run.equal(sections.empty() ? std::string() : sections[0], std::string("test"),
              "section is named 'test'");
    run.equal(ini.getKeys("test").size(), size_t(17), "17 keys in section 'test'");

    run.throws([&] { ini.getInt("test", "int_invalid"); },
               [](const CWIException& e) { return e.getStatus() == ERROR_INIFILE_CONVERT; },
               "getInt of int_invalid throws ERROR_INIFILE_CONVERT");
    run.throws([&] { ini.getBoolean("test", "bool_invalid"); }, any,
               "getBoolean of bool_invalid throws");

    run.equal(ini.getString("test", "string"), std::string("hello world!"), "getString");
    run.equal(ini.getStringList("test", "string_list", SEPARATORS),
              std::vector<std::string>{"hello", "world!"}, "getStringList");
    run.equal(ini.getInt("test", "int"), 23, "getInt");
    run.equal(ini.getIntList("test", "int_list", SEPARATORS), std::vector<int>{23, -42},
              "getIntList");
    run.equal(ini.getIntList("test", "int", SEPARATORS), std::vector<int>{23},
              "getIntList of a single value");
    run.equal(ini.getIntList("test", "int_range", SEPARATORS), Sequence(23, 42),
              "getIntList of a range");

    std::vector<int> mixed = Sequence(1, 3);
    std::vector<int> middle = Sequence(23, 42);
    mixed.insert(mixed.end(), middle.begin(), middle.end());
    mixed.push_back(99);
    run.equal(ini.getIntList("test", "int_mixed", SEPARATORS), mixed,
              "getIntList of ranges and values");
    run.equal(ini.getIntList("test", "int_range_negative", SEPARATORS), Sequence(-10, -1),
              "getIntList of a negative range");
    run.equal(ini.getIntList("test", "int_range_cross", SEPARATORS), Sequence(-10, 10),
              "getIntList of a range across zero");

    for (const char* key : {"bool_true1", "bool_true2", "bool_true3"})
        run.equal(ini.getBoolean("test", key), true, std::string("getBoolean of ") + key);
    for (const char* key : {"bool_false1", "bool_false2", "bool_false3"})
        run.equal(ini.getBoolean("test", key), false, std::string("getBoolean of ") + key);

    int failed = run.finish();
    TARVEL_ASSERT(failed == 0);
}
