// The command line: the option table and the service's own options. The
// input is the argument vector, arguments separated by NUL bytes; it is also
// parsed as one string by the white-space constructor.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/CmdLine.h"
#include "foundation/Exceptions.h"
#include "fuzz_support.h"
#include "service/CmdLineArguments.h"

namespace {

void takeApart(CCmdLine& commandLine)
{
    const int before = commandLine.getNumOptions();
    if (static_cast<std::size_t>(before) != commandLine.getExtraOptions().size())
        std::abort();
    try {
        parseCommandLine(commandLine);
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    } catch (const CException&) {
    }
    // The service's options are popped, never added.
    if (commandLine.getNumOptions() > before)
        std::abort();
    for (const std::string& name : commandLine.getExtraOptions()) {
        std::string value;
        if (!commandLine.peekOption(name, value) || !commandLine.popOption(name, value) ||
            commandLine.hasOption(name))
            std::abort();
    }
    if (commandLine.getNumOptions() != 0)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words{"tarvelsvc"};
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = text.find('\0', start);
        if (end == std::string::npos)
            end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    CCmdLine vector(static_cast<int>(words.size()), argv.data(), "-");
    takeApart(vector);
    CCmdLine whole(text, "-");
    takeApart(whole);
    return 0;
}
