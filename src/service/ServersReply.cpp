#include "service/ServersReply.h"

#include <cctype>
#include <cstdlib>
#include <map>

#include "foundation/HostPort.h"

namespace {

// A landscape host runs a few thousand servers at most; a reply beyond
// these bounds is not one the service wrote.
constexpr size_t kMaxRows = 100000;
constexpr size_t kMaxValue = 1000;

// A reader of the reply's shape: an array of flat objects whose values are
// strings, numbers, true, false or null. Every value is kept as text.
class Reader {
public:
    explicit Reader(const std::string& text) : mText(text) {}

    std::string problem;

    bool more() { return skip() && mAt < mText.size(); }
    bool expect(char c)
    {
        if (skip() && mAt < mText.size() && mText[mAt] == c) {
            ++mAt;
            return true;
        }
        return fail(std::string("'") + c + "' expected");
    }
    bool peek(char c) { return skip() && mAt < mText.size() && mText[mAt] == c; }
    bool string(std::string& out);
    bool scalar(std::string& out);

    bool fail(const std::string& what)
    {
        if (problem.empty())
            problem = what + " at byte " + std::to_string(mAt);
        return false;
    }

private:
    bool skip()
    {
        while (mAt < mText.size() && (mText[mAt] == ' ' || mText[mAt] == '\n' ||
                                      mText[mAt] == '\t' || mText[mAt] == '\r'))
            ++mAt;
        return true;
    }

    const std::string& mText;
    size_t mAt = 0;
};

// A string; escapes other than \" and \\ become '?', which is all a line of
// the check needs of them.
bool Reader::string(std::string& out)
{
    out.clear();
    if (!expect('"'))
        return false;
    while (mAt < mText.size() && mText[mAt] != '"') {
        char c = mText[mAt++];
        if (c == '\\' && mAt < mText.size()) {
            char e = mText[mAt++];
            c = e == '"' || e == '\\' ? e : '?';
            if (e == 'u')
                mAt += 4;
        }
        if (out.size() >= kMaxValue)
            return fail("string too long");
        out += c;
    }
    return expect('"');
}

// A number, true, false or null as its text; a string without its quotes.
bool Reader::scalar(std::string& out)
{
    if (peek('"'))
        return string(out);
    size_t start = mAt;
    while (mAt < mText.size() && mAt - start < kMaxValue &&
           (isalnum(static_cast<unsigned char>(mText[mAt])) || mText[mAt] == '.' ||
            mText[mAt] == '-' || mText[mAt] == '+'))
        ++mAt;
    out = mText.substr(start, mAt - start);
    return !out.empty() || fail("value expected");
}

bool ReadObject(Reader& in, std::map<std::string, std::string>& fields)
{
    fields.clear();
    if (!in.expect('{'))
        return false;
    if (in.peek('}'))
        return in.expect('}');
    do {
        std::string key, value;
        if (!in.string(key) || !in.expect(':') || !in.scalar(value))
            return false;
        if (fields.size() >= 64)
            return in.fail("too many keys");
        fields[key] = value;
    } while (in.peek(',') && in.expect(','));
    return in.expect('}');
}

// The row of one object; false when a key the check needs is missing.
bool RowOf(const std::map<std::string, std::string>& fields, ReportedServer& row)
{
    for (const char* key : {"address", "port", "state", "ready", "restarts"})
        if (fields.count(key) == 0)
            return false;
    char* end = nullptr;
    unsigned long port = std::strtoul(fields.at("port").c_str(), &end, 10);
    if (*end != '\0' || port > 65535)
        return false;
    row.endpoint = FormatEndpoint(fields.at("address"), static_cast<unsigned short>(port));
    row.state = fields.at("state");
    row.ready = fields.at("ready") == "true";
    row.restarts = std::strtoul(fields.at("restarts").c_str(), &end, 10);
    auto pool = fields.find("pool");
    row.pool = pool == fields.end() || pool->second == "null" ? "" : pool->second;
    return *end == '\0';
}

}  // namespace

std::string ParseServersJson(const std::string& text, std::vector<ReportedServer>& rows)
{
    rows.clear();
    Reader in(text);
    if (!in.expect('['))
        return in.problem;
    std::map<std::string, std::string> fields;
    while (!in.peek(']')) {
        if (!rows.empty() && !in.expect(','))
            return in.problem;
        if (rows.size() >= kMaxRows)
            return "more than " + std::to_string(kMaxRows) + " servers";
        if (!ReadObject(in, fields))
            return in.problem;
        ReportedServer row;
        if (!RowOf(fields, row))
            return "server " + std::to_string(rows.size() + 1) + " lacks a valid address, port, "
                   "state, ready or restarts";
        rows.push_back(row);
    }
    in.expect(']');
    if (in.more())
        return "text after the array";
    return in.problem;
}
