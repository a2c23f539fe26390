#include "config/XMLParser.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <sstream>

#include <rapidxml/rapidxml.hpp>

#include "config/XMLConfigValidator.h"
#include "foundation/Exceptions.h"

namespace XMLConfig {
namespace Parser {

namespace {

const char* orNull(const char* text) { return text != nullptr ? text : "(null)"; }

// ---- Number extraction -------------------------------------------------
//
// The grammar of a number is that of formatted stream extraction. Building
// a stream per value is by far the most expensive step of a load, so the
// plain forms ("123", "-45") are read directly; those cannot overflow with
// at most 9 digits and read identically either way. Everything else goes
// through a real stream.

// Reads an optional '-' and 1..9 digits at text; returns the number of
// characters read, 0 when the text does not have that plain form (then the
// stream decides).
std::size_t readPlainInt(const char* text, int& value)
{
    const char* p = text;
    const bool negative = *p == '-';
    if (negative)
        ++p;
    const char* digits = p;
    long long v = 0;
    while (*p >= '0' && *p <= '9' && p - digits < 10) {
        v = v * 10 + (*p - '0');
        ++p;
    }
    const std::ptrdiff_t n = p - digits;
    if (n == 0 || n > 9)
        return 0;
    value = static_cast<int>(negative ? -v : v);
    return static_cast<std::size_t>(p - text);
}

// Stream extraction of one T from text. wholeText: nothing may follow.
template <class T>
bool streamExtract(const std::string& text, T& value, bool wholeText)
{
    std::istringstream stream(text);
    stream >> value;
    if (stream.fail())
        return false;
    return !wholeText || stream.peek() == std::char_traits<char>::eof();
}

template <class T>
bool extractWhole(const char* text, T& value)
{
    int plain = 0;
    const std::size_t used = readPlainInt(text, plain);
    // Negative values and values above an unsigned short's range are left
    // to the stream, which has its own rules for them.
    const bool fits = plain >= 0 ? static_cast<long long>(plain) <= std::numeric_limits<T>::max()
                                 : std::numeric_limits<T>::is_signed;
    if (used != 0 && text[used] == '\0' && fits) {
        value = static_cast<T>(plain);
        return true;
    }
    return streamExtract(text, value, true);
}

// A single value of an integer list: only the extraction has to succeed,
// whatever follows is ignored.
bool extractLeadingInt(const std::string& token, int& value)
{
    const std::size_t used = readPlainInt(token.c_str(), value);
    if (used != 0 && !(token[used] >= '0' && token[used] <= '9'))
        return true;
    return streamExtract(token, value, false);
}

bool isIPv4Address(const char* text)
{
    struct in_addr address;
    return inet_pton(AF_INET, text, &address) == 1;
}

bool isIPv6Address(const char* text)
{
    struct in6_addr address;
    return inet_pton(AF_INET6, text, &address) == 1;
}

bool isHostName(const char* text)
{
    static const char kAllowed[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-";
    const std::size_t length = std::strlen(text);
    return length <= 255 && std::strspn(text, kAllowed) == length;
}

const char* attributeValue(const Node* node, const char* name)
{
    TARVEL_ASSERT(node != nullptr);
    const rapidxml::xml_attribute<char>* attribute = node->first_attribute(name);
    return attribute != nullptr ? attribute->value() : nullptr;
}

std::string attributeMessage(const char* function, const char* value, const Node* node,
                             const char* name)
{
    return std::string(function) + "(): invalid value '" + value + "' in node '" + node->name() +
           "' attribute '" + name + "'";
}

std::string textMessage(const char* function, const Node* node)
{
    return std::string(function) + "(): invalid value '" + node->value() + "' in node '" +
           node->name();
}

CException invalidRange(const std::string& token)
{
    return CException("parseIntRange(): invalid range " + token);
}

// One range token; room is how many more values the list may take.
IntRange readRange(const std::string& text, std::string::size_type dash, std::size_t room)
{
    if (text.empty() || dash == 0 || dash == std::string::npos || dash >= text.size() - 1)
        throw invalidRange(text);
    IntRange range{0, 0};
    // The plain form "12-15" is read in place; anything else part by part.
    const std::size_t lowerUsed = readPlainInt(text.c_str(), range.first);
    const std::size_t upperUsed =
        lowerUsed == dash ? readPlainInt(text.c_str() + dash + 1, range.last) : 0;
    if (upperUsed == 0 || dash + 1 + upperUsed != text.size()) {
        std::string lower = text.substr(0, dash);
        std::string upper = text.substr(dash + 1);
        lower.erase(0, lower.find_first_not_of(' '));
        upper.erase(0, upper.find_first_not_of(' '));
        if (!extractWhole(lower.c_str(), range.first) || !extractWhole(upper.c_str(), range.last))
            throw invalidRange(text);
    }
    if (range.count() > kMaxRangeValues || range.count() > room)
        throw invalidRange(text);
    return range;
}

std::vector<int> expand(const std::vector<IntRange>& ranges)
{
    std::size_t total = 0;
    for (const IntRange& range : ranges)
        total += range.count();
    std::vector<int> values;
    values.reserve(total);
    for (const IntRange& range : ranges)
        range.forEach([&](int v) { values.push_back(v); });
    return values;
}

}  // namespace

// ---- Booleans ----------------------------------------------------------

bool parseBool(const char* text)
{
    text = orNull(text);
    static const char* const kTrue[] = {"true", "on", "yes", "1"};
    static const char* const kFalse[] = {"false", "off", "no", "0"};
    for (const char* word : kTrue)
        if (std::strcmp(text, word) == 0)
            return true;
    for (const char* word : kFalse)
        if (std::strcmp(text, word) == 0)
            return false;
    throw CException(std::string("XMLConfig::Parser::parseBool(): invalid boolean value '") + text +
                     "'");
}

bool parseBool(const Node* node, const char* name, bool defaultValue)
{
    const char* value = attributeValue(node, name);
    if (value == nullptr)
        return defaultValue;
    try {
        return parseBool(value);
    } catch (const CException&) {
        throw CException(attributeMessage("XMLConfig::Parser::parseBool", value, node, name));
    }
}

bool parseBool(const Node* node)
{
    TARVEL_ASSERT(node != nullptr);
    try {
        return parseBool(node->value());
    } catch (const CException&) {
        throw CException(textMessage("XMLConfig::Parser::parseBool", node));
    }
}

// ---- Addresses and host names --------------------------------------------

std::string parseIP(const char* text, bool allowHostname, bool checkHostname)
{
    text = orNull(text);
    if (isIPv4Address(text) || isIPv6Address(text))
        return text;
    if (!allowHostname)
        throw CException(std::string("XMLConfig::Parser::parseIP(): invalid value '") + text + "'");
    if (checkHostname && !isHostName(text))
        throw CException(std::string("XMLConfig::Parser::parseIP(): invalid hostname '") + text +
                         "'");
    return text;
}

std::string parseIP(const Node* node, const char* name, bool allowHostname, bool checkHostname)
{
    const char* value = attributeValue(node, name);
    if (value == nullptr)
        return std::string();
    try {
        return parseIP(value, allowHostname, checkHostname);
    } catch (const CException&) {
        throw CException(attributeMessage("XMLConfig::Parser::parseIP", value, node, name));
    }
}

std::string parseIP(const Node* node, bool allowHostname, bool checkHostname)
{
    TARVEL_ASSERT(node != nullptr);
    try {
        return parseIP(node->value(), allowHostname, checkHostname);
    } catch (const CException&) {
        throw CException(textMessage("XMLConfig::Parser::parseIP", node));
    }
}

// ---- Integer lists -------------------------------------------------------

std::vector<int> parseIntRange(const std::string& text, std::string::size_type dash)
{
    std::vector<int> values;
    readRange(text, dash, kMaxListValues).forEach([&](int v) { values.push_back(v); });
    return values;
}

namespace {

// Calls visit(range) for every value or range of the list, in order.
template <class Visit>
void forEachRange(const char* text, std::size_t length, const char* separators, Visit visit)
{
    // Lists in the file use one fixed set; others are rare.
    const bool listSeparators = std::strcmp(separators, " ,\t") == 0;
    auto separator = [&](char c) {
        if (listSeparators)
            return c == ' ' || c == ',' || c == '\t';
        return c != '\0' && std::strchr(separators, c) != nullptr;
    };

    std::size_t total = 0;
    const char* const end = text + length;
    const char* p = text;
    while (true) {
        while (p != end && separator(*p))
            ++p;
        if (p == end)
            break;
        const char* const start = p;
        while (p != end && !separator(*p))
            ++p;
        const std::string token(start, p);

        // A '-' first is a sign and a '-' last ends no range.
        const std::string::size_type dash = token.find('-', 1);
        IntRange range{0, 0};
        if (dash != std::string::npos && dash < token.size() - 1) {
            range = readRange(token, dash, kMaxListValues - std::min(total, kMaxListValues));
        } else {
            if (!extractLeadingInt(token, range.first))
                throw CException("parseIntList(): invalid integer value " + token);
            range.last = range.first;
        }
        total += range.count();
        visit(range);
    }
}

// The list with the separators of the file, every value within min..max.
// Malformed values are reported before values out of range.
template <class Visit>
void forEachRangeWithin(const char* text, int min, int max, Visit visit)
{
    text = orNull(text);
    bool outOfRange = false;
    forEachRange(text, std::strlen(text), " ,\t", [&](const IntRange& range) {
        if (std::min(range.first, range.last) < min || std::max(range.first, range.last) > max)
            outOfRange = true;
        visit(range);
    });
    if (outOfRange)
        throw CException(std::string("XMLConfig::Parser::parseIntList(): value out of range in list ") +
                         text);
}

}  // namespace

std::vector<IntRange> parseIntRanges(const std::string& text, const char* separators)
{
    std::vector<IntRange> ranges;
    forEachRange(text.data(), text.size(), separators,
                 [&](const IntRange& range) { ranges.push_back(range); });
    return ranges;
}

std::vector<int> parseIntList(const std::string& text, const char* separators)
{
    return expand(parseIntRanges(text, separators));
}

std::vector<IntRange> parseIntRanges(const char* text, int min, int max)
{
    std::vector<IntRange> ranges;
    ranges.reserve(2);
    forEachRangeWithin(text, min, max, [&](const IntRange& range) { ranges.push_back(range); });
    return ranges;
}

void checkIntList(const char* text, int min, int max)
{
    forEachRangeWithin(text, min, max, [](const IntRange&) {});
}

std::vector<int> parseIntList(const char* text, int min, int max)
{
    return expand(parseIntRanges(text, min, max));
}

std::vector<IntRange> parseIntRanges(const Node* node, const char* name, int min, int max)
{
    const char* value = attributeValue(node, name);
    if (value == nullptr)
        throw CException(std::string("XMLConfig::Parser::parseIntList(): missing value in node '") +
                         node->name() + "' attribute '" + name + "'");
    try {
        return parseIntRanges(value, min, max);
    } catch (const CException&) {
        throw CException(attributeMessage("XMLConfig::Parser::parseIntList", value, node, name));
    }
}

std::vector<int> parseIntList(const Node* node, const char* name, int min, int max)
{
    return expand(parseIntRanges(node, name, min, max));
}

std::vector<int> parseIntList(const Node* node, int min, int max)
{
    TARVEL_ASSERT(node != nullptr);
    try {
        return parseIntList(node->value(), min, max);
    } catch (const CException&) {
        throw CException(textMessage("XMLConfig::Parser::parseIntList", node));
    }
}

// ---- Bounded numbers -------------------------------------------------------

template <class T>
T parseNumber(const char* text, T min, T max)
{
    if (text == nullptr)
        throw CException("Parser::parseNumber(): can't parse NULL value");
    T value = 0;
    if (!extractWhole(text, value) || value < min || value > max)
        throw CException(std::string("Parser::parseNumber(): invalid value '") + text);
    return value;
}

template <class T>
T parseNumber(const Node* node, T defaultValue, T min, T max)
{
    if (node == nullptr)
        return defaultValue;
    try {
        return parseNumber<T>(node->value(), min, max);
    } catch (const CException&) {
        throw CException(textMessage("Parser::parseNumber", node));
    }
}

template <class T>
T parseAttrNumber(const Node* node, const char* name, T defaultValue, T min, T max)
{
    const char* value = attributeValue(node, name);
    if (value == nullptr)
        return defaultValue;
    try {
        return parseNumber<T>(value, min, max);
    } catch (const CException&) {
        throw CException(attributeMessage("Parser::parseAttrNumber", value, node, name));
    }
}

unsigned short parsePort(const Node* node, const char* name)
{
    return parseAttrNumber<unsigned short>(node, name, 0, 1, 65535);
}

template int parseNumber<int>(const char*, int, int);
template unsigned short parseNumber<unsigned short>(const char*, unsigned short, unsigned short);
template int parseNumber<int>(const Node*, int, int, int);
template int parseAttrNumber<int>(const Node*, const char*, int, int, int);
template unsigned short parseAttrNumber<unsigned short>(const Node*, const char*, unsigned short,
                                                        unsigned short, unsigned short);

}  // namespace Parser
}  // namespace XMLConfig
