#include "foundation/CmdLine.h"

#include "foundation/Assert.h"

#include <sstream>

CCmdLine::CCmdLine(int argc, char** argv, const std::string& switchChar)
{
    if (argc > 0 && argv != nullptr && argv[0] != nullptr)
        mProgramName = argv[0];
    std::vector<std::string> tokens;
    for (int i = 1; i < argc; ++i)
        tokens.emplace_back(argv[i]);
    parse(tokens, switchChar);
}

CCmdLine::CCmdLine(const std::string& commandLine, const std::string& switchChar)
{
    std::istringstream words(commandLine);
    std::vector<std::string> tokens;
    for (std::string word; words >> word;)
        tokens.push_back(word);
    parse(tokens, switchChar);
}

void CCmdLine::parse(const std::vector<std::string>& tokens, const std::string& switchChar)
{
    TARVEL_ASSERT(!switchChar.empty());
    std::string pending;
    bool previousWasOption = false;
    for (const std::string& token : tokens) {
        bool isOption = !token.empty() && switchChar.find(token[0]) != std::string::npos;
        if (isOption) {
            if (previousWasOption)
                mOptions[pending] = std::string();
            pending = token;
        } else {
            mOptions[pending] = token;
            pending.clear();
        }
        previousWasOption = isOption;
    }
    if (!pending.empty())
        mOptions[pending] = std::string();
}

bool CCmdLine::hasOption(const std::string& name) const
{
    return mOptions.count(name) != 0;
}

bool CCmdLine::peekOption(const std::string& name, std::string& value) const
{
    auto it = mOptions.find(name);
    if (it == mOptions.end())
        return false;
    value = it->second;
    return true;
}

bool CCmdLine::popOption(const std::string& name)
{
    return mOptions.erase(name) != 0;
}

bool CCmdLine::popOption(const std::string& name, std::string& value)
{
    auto it = mOptions.find(name);
    if (it == mOptions.end())
        return false;
    value = it->second;
    mOptions.erase(it);
    return true;
}

bool CCmdLine::popOption(const std::string& name, std::string& value, const std::string& fallback)
{
    if (popOption(name, value))
        return true;
    value = fallback;
    return false;
}

int CCmdLine::getNumOptions() const
{
    return static_cast<int>(mOptions.size());
}

std::vector<std::string> CCmdLine::getExtraOptions() const
{
    std::vector<std::string> names;
    names.reserve(mOptions.size());
    for (const auto& entry : mOptions)
        names.push_back(entry.first);
    return names;
}
