// The value parsers of ServerConfig.xml: integer lists and ranges (ports),
// bounded numbers (limits, ports), booleans, addresses and host names. The
// fast paths must read exactly what stream extraction reads, the unexpanded
// lists must accept and reject exactly what the expanded ones do.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "config/XMLParser.h"
#include "foundation/Exceptions.h"
#include "fuzz_support.h"

namespace {

namespace P = XMLConfig::Parser;

template <class T>
bool streamWhole(const std::string& text, T& value)
{
    std::istringstream stream(text);
    stream >> value;
    return !stream.fail() && stream.peek() == std::char_traits<char>::eof();
}

template <class T>
void checkNumber(const std::string& text, T min, T max)
{
    T expected = 0;
    const bool valid = streamWhole(text, expected) && expected >= min && expected <= max;
    try {
        const T got = P::parseNumber<T>(text.c_str(), min, max);
        if (!valid || got != expected)
            std::abort();
    } catch (const CException&) {
        if (valid)
            std::abort();
    }
}

// Outcome of one parser call: its message when it threw.
template <class F>
std::string outcome(F call)
{
    try {
        call();
        return "";
    } catch (const CException& e) {
        return std::string("threw: ") + e.what();
    }
}

void checkLists(const std::string& text, int min, int max)
{
    std::vector<P::IntRange> ranges;
    std::vector<int> values;
    const std::string asRanges = outcome([&] { ranges = P::parseIntRanges(text.c_str(), min, max); });
    const std::string asCheck = outcome([&] { P::checkIntList(text.c_str(), min, max); });
    const std::string asValues = outcome([&] { values = P::parseIntList(text.c_str(), min, max); });
    if (asRanges != asCheck || asRanges != asValues)
        std::abort();
    if (!asRanges.empty())
        return;
    std::size_t at = 0;
    for (const P::IntRange& range : ranges) {
        if (std::min(range.first, range.last) < min || std::max(range.first, range.last) > max)
            std::abort();
        range.forEach([&](int v) {
            if (at >= values.size() || values[at++] != v)
                std::abort();
        });
    }
    if (at != values.size())
        std::abort();

    // A lone value without a range reads what a stream reads.
    if (text.find_first_of(" ,\t") == std::string::npos && text.find('-', 1) == std::string::npos &&
        values.size() == 1) {
        std::istringstream stream(text);
        int expected = 0;
        stream >> expected;
        if (stream.fail() || expected != values[0])
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t selector = data[0];
    // Parsers take C strings: the text ends at the first NUL.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.resize(std::strlen(text.c_str()));

    switch (selector % 6) {
    case 0:  // the port lists of appserver elements
        checkLists(text, 1, 65535);
        break;
    case 1:  // lists over the whole int range, with a few other bounds
        checkLists(text, INT_MIN, INT_MAX);
        checkLists(text, -1, 0);
        break;
    case 2:  // limits, counts, priorities
        checkNumber<int>(text, INT_MIN, INT_MAX);
        checkNumber<int>(text, -1, INT_MAX);
        break;
    case 3:  // ports
        checkNumber<unsigned short>(text, 0, 65535);
        checkNumber<unsigned short>(text, 1, 65535);
        break;
    case 4: {  // booleans
        bool value = false;
        const std::string result = outcome([&] { value = P::parseBool(text.c_str()); });
        const bool yes = text == "true" || text == "on" || text == "yes" || text == "1";
        const bool no = text == "false" || text == "off" || text == "no" || text == "0";
        if (result.empty() != (yes || no) || (result.empty() && value != yes))
            std::abort();
        break;
    }
    case 5:  // addresses and host names
        for (bool allowHostname : {false, true})
            for (bool checkHostname : {false, true}) {
                std::string value;
                const std::string result =
                    outcome([&] { value = P::parseIP(text.c_str(), allowHostname, checkHostname); });
                if (result.empty() && value != text)
                    std::abort();
            }
        break;
    }
    // A list with separators of the caller's choosing.
    outcome([&] { P::parseIntRanges(text, ",;"); });
    return 0;
}
