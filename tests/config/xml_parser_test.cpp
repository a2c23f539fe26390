#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include <rapidxml/rapidxml.hpp>

#include "config/XMLParser.h"
#include "foundation/Exceptions.h"

namespace {

using namespace XMLConfig::Parser;
typedef std::vector<int> Ints;

// The message of the CException that f throws ("" when it does not throw).
template <class F>
std::string errorOf(F f)
{
    try {
        f();
    } catch (const CException& e) {
        return e.what();
    }
    return "";
}

// Parses xml in place and hands out its first element.
class Doc {
public:
    explicit Doc(const std::string& xml) : mText(xml.begin(), xml.end())
    {
        mText.push_back('\0');
        mDoc.parse<0>(mText.data());
    }
    const Node* root() const { return mDoc.first_node(); }

private:
    std::vector<char> mText;
    rapidxml::xml_document<char> mDoc;
};

TEST(XMLParserTest, BoolAcceptsTheLowerCaseWordsOnly)
{
    for (const char* yes : {"true", "on", "yes", "1"})
        EXPECT_TRUE(parseBool(yes)) << yes;
    for (const char* no : {"false", "off", "no", "0"})
        EXPECT_FALSE(parseBool(no)) << no;
    for (const char* bad : {"Yes", "TRUE", " true", "true ", "2", ""})
        EXPECT_EQ(std::string("XMLConfig::Parser::parseBool(): invalid boolean value '") + bad + "'",
                  errorOf([&] { parseBool(bad); }));
    EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid boolean value '(null)'",
              errorOf([] { parseBool(static_cast<const char*>(nullptr)); }));
}

TEST(XMLParserTest, IPAddressesAndHostNames)
{
    EXPECT_EQ("::1", parseIP("::1", false, false));
    EXPECT_EQ("10.0.0.1", parseIP("10.0.0.1", false, false));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'host-a'",
              errorOf([] { parseIP("host-a", false, false); }));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value '10.0.0'",
              errorOf([] { parseIP("10.0.0", false, false); }));
    // Not normalised: returned exactly as written.
    EXPECT_EQ("0:0::1", parseIP("0:0::1", false, false));

    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid hostname 'my_host'",
              errorOf([] { parseIP("my_host", true, true); }));
    EXPECT_EQ("my_host", parseIP("my_host", true, false));
    EXPECT_EQ("", parseIP("", true, true));
    EXPECT_EQ("-a..b-", parseIP("-a..b-", true, true));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid hostname 'a b'",
              errorOf([] { parseIP("a b", true, true); }));
    const std::string longest(255, 'h');
    EXPECT_EQ(longest, parseIP(longest.c_str(), true, true));
    const std::string tooLong(256, 'h');
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid hostname '" + tooLong + "'",
              errorOf([&] { parseIP(tooLong.c_str(), true, true); }));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value '(null)'",
              errorOf([] { parseIP(static_cast<const char*>(nullptr), false, false); }));
}

TEST(XMLParserTest, IntListsExpandRangesInOrder)
{
    const struct {
        const char* text;
        Ints expected;
    } cases[] = {
        {"10-13, 20", {10, 11, 12, 13, 20}},
        {"5-3", {5, 4, 3}},
        {"4-4", {4}},
        {"7,7", {7, 7}},
        {"-5", {-5}},
        {"-5--3", {-5, -4, -3}},
        {"12abc", {12}},
        {"5-", {5}},
        {"\t,, 1\t2 ,", {1, 2}},
        {"", {}},
        {" , ", {}},
        {"2147483646-2147483647", {2147483646, 2147483647}},
        {"-2147483647--2147483648", {-2147483647, INT_MIN}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, parseIntList(c.text, INT_MIN, INT_MAX)) << "'" << c.text << "'";
}

TEST(XMLParserTest, IntListErrors)
{
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"--5", "parseIntRange(): invalid range --5"},
        {"1-5x", "parseIntRange(): invalid range 1-5x"},
        {"1-x", "parseIntRange(): invalid range 1-x"},
        {"1 - 5", "parseIntList(): invalid integer value -"},
        {"abc", "parseIntList(): invalid integer value abc"},
        {"1,\n", "parseIntList(): invalid integer value \n"},
        {"99999999999", "parseIntList(): invalid integer value 99999999999"},
        {"1-99999999999", "parseIntRange(): invalid range 1-99999999999"},
        // A range is held in memory: at most 65536 values each.
        {"1-65536", nullptr},
        {"0-65536", "parseIntRange(): invalid range 0-65536"},
        {"1-2147483647", "parseIntRange(): invalid range 1-2147483647"},
        {"2147483647-1", "parseIntRange(): invalid range 2147483647-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.message ? c.message : "", errorOf([&] { parseIntList(c.text, INT_MIN, INT_MAX); }))
            << "'" << c.text << "'";

    // Step errors come before range checks, whatever their order in the text.
    EXPECT_EQ("parseIntList(): invalid integer value x",
              errorOf([] { parseIntList("0,x", 1, 65535); }));
    EXPECT_EQ("XMLConfig::Parser::parseIntList(): value out of range in list 0,1",
              errorOf([] { parseIntList("0,1", 1, 65535); }));
    EXPECT_EQ("XMLConfig::Parser::parseIntList(): value out of range in list 65530-65540",
              errorOf([] { parseIntList("65530-65540", 1, 65535); }));
    EXPECT_EQ("parseIntList(): invalid integer value (null)",
              errorOf([] { parseIntList(static_cast<const char*>(nullptr), 1, 2); }));
}

TEST(XMLParserTest, WholeListIsBoundedToAMillionValues)
{
    // Sixteen full ranges fit exactly; one more value is refused at the range
    // that would exceed the bound.
    std::string sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen += "0-65535,";
    EXPECT_EQ(kMaxListValues, parseIntRanges(sixteen.c_str(), INT_MIN, INT_MAX).size() * 65536);
    EXPECT_EQ("", errorOf([&] { parseIntRanges((sixteen + "7").c_str(), INT_MIN, INT_MAX); }));
    EXPECT_EQ("parseIntRange(): invalid range 1-2",
              errorOf([&] { parseIntRanges((sixteen + "1-2").c_str(), INT_MIN, INT_MAX); }));
    EXPECT_EQ("parseIntRange(): invalid range 0-65535",
              errorOf([&] { parseIntRanges(("1," + sixteen).c_str(), INT_MIN, INT_MAX); }));
}

TEST(XMLParserTest, IntRangeNeedsADashInside)
{
    EXPECT_EQ(Ints({3, 4, 5}), parseIntRange("3-5", 1));
    EXPECT_EQ(Ints({3, 4, 5}), parseIntRange("3- 5", 1));
    for (const auto& c : std::vector<std::pair<std::string, std::string::size_type>>{
             {"3-5", 0}, {"3-5", std::string::npos}, {"", 0}, {"35-", 2}, {"3-5", 7}})
        EXPECT_EQ("parseIntRange(): invalid range " + c.first,
                  errorOf([&] { parseIntRange(c.first, c.second); }))
            << c.first << " at " << c.second;
    EXPECT_EQ(Ints({1, 2}), parseIntList("1;2", ";"));
}

TEST(XMLParserTest, NumbersNeedTheWholeTextWithinBounds)
{
    EXPECT_EQ(42, parseNumber<int>(" 42", 0, 100));
    EXPECT_EQ(-7, parseNumber<int>("-7", -7, 0));
    EXPECT_EQ(INT_MIN, parseNumber<int>("-2147483648", INT_MIN, INT_MAX));
    EXPECT_EQ(5, parseNumber<int>("+5", 0, 10));
    for (const char* bad : {"42 ", "4 2", "101", "", "x", "2147483648", "0x10", "-"})
        EXPECT_EQ(std::string("Parser::parseNumber(): invalid value '") + bad,
                  errorOf([&] { parseNumber<int>(bad, 0, 100); }))
            << "'" << bad << "'";
    EXPECT_EQ("Parser::parseNumber(): can't parse NULL value",
              errorOf([] { parseNumber<int>(static_cast<const char*>(nullptr), 0, 1); }));
    EXPECT_EQ(65535, parseNumber<unsigned short>("65535", 1, 65535));
    EXPECT_EQ("Parser::parseNumber(): invalid value '65536",
              errorOf([] { parseNumber<unsigned short>("65536", 1, 65535); }));
}

// The plain forms are read without a stream; they must read exactly as a
// stream reads them, including where the stream refuses.
TEST(XMLParserTest, NumbersReadAsAStreamReadsThem)
{
    const std::vector<std::string> texts = {
        "0", "7", "-0", "-1", "123456789", "-123456789", "999999999", "1234567890",
        "2147483647", "2147483648", "-2147483648", "-2147483649", "00000000012", "65535",
        "65536", "-65535", "+1", " 1", "1 ", "\t-3", "1e3", "12abc", "--1", "+-1", "", " ",
        "0000000000", "4294967296", "-"};
    for (const std::string& text : texts) {
        std::istringstream intStream(text);
        int i = 0;
        intStream >> i;
        const bool intOk = !intStream.fail() && intStream.peek() == EOF;
        EXPECT_EQ(intOk ? "" : "Parser::parseNumber(): invalid value '" + text,
                  errorOf([&] { parseNumber<int>(text.c_str(), INT_MIN, INT_MAX); }))
            << "'" << text << "'";
        if (intOk) {
            EXPECT_EQ(i, parseNumber<int>(text.c_str(), INT_MIN, INT_MAX)) << text;
        }

        std::istringstream shortStream(text);
        unsigned short u = 0;
        shortStream >> u;
        const bool shortOk = !shortStream.fail() && shortStream.peek() == EOF;
        EXPECT_EQ(shortOk ? "" : "Parser::parseNumber(): invalid value '" + text,
                  errorOf([&] { parseNumber<unsigned short>(text.c_str(), 0, 65535); }))
            << "'" << text << "'";
        if (shortOk) {
            EXPECT_EQ(u, parseNumber<unsigned short>(text.c_str(), 0, 65535)) << text;
        }

        // A single list value needs only a successful extraction.
        std::istringstream leadStream(text);
        int lead = 0;
        leadStream >> lead;
        if (text.find_first_of(" ,\t-") == std::string::npos && !text.empty()) {
            if (leadStream.fail()) {
                EXPECT_EQ("parseIntList(): invalid integer value " + text,
                          errorOf([&] { parseIntList(text, " ,\t"); }));
            } else {
                EXPECT_EQ(Ints({lead}), parseIntList(text, " ,\t")) << text;
            }
        }
    }
}

TEST(XMLParserTest, NodeFunctionsNameValueElementAndAttribute)
{
    Doc doc("<srv flag='maybe' ip='a_b' ports='0,1' num='x' port='0' big='65536' ok='8080'"
            " on='yes' flag='no'>text</srv>");
    const Node* n = doc.root();

    EXPECT_TRUE(parseBool(n, "missing", true));
    EXPECT_TRUE(parseBool(n, "on", false));
    EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid value 'maybe' in node 'srv' attribute 'flag'",
              errorOf([&] { parseBool(n, "flag", false); }));
    EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid value 'text' in node 'srv",
              errorOf([&] { parseBool(n); }));

    EXPECT_EQ("", parseIP(n, "missing", true, true));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'a_b' in node 'srv' attribute 'ip'",
              errorOf([&] { parseIP(n, "ip", true, true); }));
    EXPECT_EQ("text", parseIP(n, true, true));
    EXPECT_EQ("XMLConfig::Parser::parseIP(): invalid value 'text' in node 'srv",
              errorOf([&] { parseIP(n, false, false); }));

    EXPECT_EQ("XMLConfig::Parser::parseIntList(): invalid value '0,1' in node 'srv' attribute 'ports'",
              errorOf([&] { parseIntList(n, "ports", 1, 65535); }));
    EXPECT_EQ("XMLConfig::Parser::parseIntList(): missing value in node 'srv' attribute 'Ports'",
              errorOf([&] { parseIntList(n, "Ports", 1, 65535); }));
    EXPECT_EQ("XMLConfig::Parser::parseIntList(): invalid value 'text' in node 'srv",
              errorOf([&] { parseIntList(n, 1, 65535); }));
    EXPECT_EQ(Ints({8080}), parseIntList(n, "ok", 1, 65535));

    EXPECT_EQ(3, parseAttrNumber<int>(n, "missing", 3, 0, 1));
    EXPECT_EQ("Parser::parseAttrNumber(): invalid value 'x' in node 'srv' attribute 'num'",
              errorOf([&] { parseAttrNumber<int>(n, "num", 0, 0, 9); }));
    EXPECT_EQ("Parser::parseNumber(): invalid value 'text' in node 'srv",
              errorOf([&] { parseNumber<int>(n, 0, 0, 9); }));
    EXPECT_EQ(-1, parseNumber<int>(static_cast<const Node*>(nullptr), -1, 0, 9));

    EXPECT_EQ(0, parsePort(n, "missing"));
    EXPECT_EQ(8080, parsePort(n, "ok"));
    EXPECT_EQ("Parser::parseAttrNumber(): invalid value '0' in node 'srv' attribute 'port'",
              errorOf([&] { parsePort(n, "port"); }));
    EXPECT_EQ("Parser::parseAttrNumber(): invalid value '65536' in node 'srv' attribute 'big'",
              errorOf([&] { parsePort(n, "big"); }));
}

TEST(XMLParserTest, NodeFunctionsReadTheFirstOfRepeatedAttributesExactlyNamed)
{
    Doc doc("<e b='on' b='off' B='off' bb='off' empty=''/>");
    EXPECT_TRUE(parseBool(doc.root(), "b", false));
    EXPECT_EQ("XMLConfig::Parser::parseBool(): invalid value '' in node 'e' attribute 'empty'",
              errorOf([&] { parseBool(doc.root(), "empty", false); }));
    EXPECT_EQ(Ints(), parseIntList(doc.root(), "empty", 1, 2));
}

}  // namespace
