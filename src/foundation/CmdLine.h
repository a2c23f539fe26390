// A command line as a table of options, each with at most one value. Several
// layers take it apart in turn: each pops the options it understands, and
// what is left at the end is what no layer claimed (getExtraOptions).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

class CCmdLine {
public:
    // argv[0] is the program name; argv[1..argc-1] are parsed.
    CCmdLine(int argc, char** argv, const std::string& switchChar);
    // Splits at white space (no quoting) and parses every word; the first
    // word is not taken as the program name.
    CCmdLine(const std::string& commandLine, const std::string& switchChar);

    const std::string& getProgramName() const { return mProgramName; }

    bool hasOption(const std::string& name) const;
    // Copies the value when present; leaves `value` alone otherwise.
    bool peekOption(const std::string& name, std::string& value) const;
    bool popOption(const std::string& name);
    bool popOption(const std::string& name, std::string& value);
    // As above, but sets `value` to `fallback` when the option is absent.
    bool popOption(const std::string& name, std::string& value, const std::string& fallback);

    int getNumOptions() const;
    // Names of the options still in the table (the empty name included when
    // stray values were given), in no particular order. Values are dropped.
    std::vector<std::string> getExtraOptions() const;

    // A token whose first character is one of `switchChar` is an option name;
    // any other token is the value of the option before it, or of the empty
    // name when no option precedes it.
    void parse(const std::vector<std::string>& tokens, const std::string& switchChar);

private:
    std::string mProgramName;
    std::unordered_map<std::string, std::string> mOptions;
};
