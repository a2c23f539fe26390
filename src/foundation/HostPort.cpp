#include "foundation/HostPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>

bool ParsePort(const std::string& text, unsigned short& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long value = std::stoul(text);
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

bool SplitHostPort(const std::string& text, std::string& host, std::string& port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    if (!text.empty() && text[0] == '[') {
        if (colon == 0 || text[colon - 1] != ']')
            return false;
        host = text.substr(1, colon - 2);
    } else {
        host = text.substr(0, colon);
    }
    port = text.substr(colon + 1);
    return true;
}

std::string FormatEndpoint(const std::string& host, unsigned short port)
{
    if (host.find(':') != std::string::npos)
        return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

bool ParseListenAddress(const std::string& text, ListenAddress& parsed, std::string& reason)
{
    parsed = ListenAddress();
    std::string host, port;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&parsed.address);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&parsed.address);
    // Brackets say IPv6; without them only a dotted IPv4 address is one.
    bool v6 = !text.empty() && text[0] == '[';
    if (!SplitHostPort(text, host, port) ||
        inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), v6 ? static_cast<void*>(&in6->sin6_addr)
                                                              : static_cast<void*>(&in4->sin_addr)) != 1) {
        reason = "listen address '" + text +
                 "' is not ADDRESS:PORT with a numeric IPv4 address or an IPv6 address in brackets";
        return false;
    }
    if (!ParsePort(port, parsed.port)) {
        reason = "listen address '" + text + "': port '" + port + "' is not a number from 1 to 65535";
        return false;
    }
    parsed.host = host;
    if (v6) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(parsed.port);
        parsed.length = sizeof(sockaddr_in6);
    } else {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(parsed.port);
        parsed.length = sizeof(sockaddr_in);
    }
    return true;
}
