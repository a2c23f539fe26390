// Value parsers for ServerConfig.xml. The text functions take the text and
// return the value or throw a CException that quotes the text; the node
// functions look up an attribute (or use the element's text), supply a
// default when it is absent, and on failure throw a CException naming the
// value, the element and the attribute instead.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace rapidxml {
template <class Ch> class xml_node;
}

namespace XMLConfig {
namespace Parser {

typedef rapidxml::xml_node<char> Node;

// A run of integers from first to last, both included, counting down when
// last < first. A single value is a range of one.
struct IntRange {
    int first;
    int last;

    std::size_t count() const
    {
        const long long span = static_cast<long long>(last) - first;
        return static_cast<std::size_t>(span < 0 ? -span : span) + 1;
    }
    template <class F>
    void forEach(F visit) const
    {
        // Counted in 64 bits: a range ending at INT_MAX must still end.
        const long long step = last < first ? -1 : 1;
        for (long long v = first;; v += step) {
            visit(static_cast<int>(v));
            if (v == last)
                break;
        }
    }
};

// Expansion limits: ranges are held in memory when expanded, so their size
// is bounded; a range beyond either limit is refused as an invalid range.
const std::size_t kMaxRangeValues = 65536;
const std::size_t kMaxListValues = 1048576;

bool parseBool(const char* text);
bool parseBool(const Node* node, const char* name, bool defaultValue);
bool parseBool(const Node* node);

std::string parseIP(const char* text, bool allowHostname, bool checkHostname);
std::string parseIP(const Node* node, const char* name, bool allowHostname, bool checkHostname);
std::string parseIP(const Node* node, bool allowHostname, bool checkHostname);

std::vector<int> parseIntRange(const std::string& text, std::string::size_type dash);
std::vector<int> parseIntList(const std::string& text, const char* separators);
std::vector<int> parseIntList(const char* text, int min, int max);
std::vector<int> parseIntList(const Node* node, const char* name, int min, int max);
std::vector<int> parseIntList(const Node* node, int min, int max);

// The integer lists above without expanding the ranges: same acceptance,
// same messages, memory proportional to the text.
std::vector<IntRange> parseIntRanges(const std::string& text, const char* separators);
std::vector<IntRange> parseIntRanges(const char* text, int min, int max);
std::vector<IntRange> parseIntRanges(const Node* node, const char* name, int min, int max);
// Only whether parseIntList(text, min, max) would accept the text: throws
// what it would throw, holds nothing.
void checkIntList(const char* text, int min, int max);

// T is int or unsigned short.
template <class T>
T parseNumber(const char* text, T min, T max);
// The element's text; a null element gives the default. T is int.
template <class T>
T parseNumber(const Node* node, T defaultValue, T min, T max);
template <class T>
T parseAttrNumber(const Node* node, const char* name, T defaultValue, T min, T max);

// An absent attribute gives 0 (no such port); a present one must be 1..65535.
unsigned short parsePort(const Node* node, const char* name);

}  // namespace Parser
}  // namespace XMLConfig
