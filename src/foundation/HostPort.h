// The one spelling of ADDRESS:PORT: how a port is read, how a host and a
// port are split and written, and the numeric listen address the service's
// own endpoints bind, parsed once where it is configured.
#pragma once

#include <sys/socket.h>

#include <string>

// Returns true and sets `port` when `text` is 1 to 5 decimal digits (no
// sign, no blank) of a number from 1 to 65535.
bool ParsePort(const std::string& text, unsigned short& port);

// Splits "host:port" or "[v6]:port" at the last colon (after the closing
// bracket); `host` comes without brackets, `port` is text, not checked.
// Returns false when there is no colon or a bracket is not closed before it.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port);

// Returns "host:port", or "[host]:port" when the host has a colon (IPv6).
std::string FormatEndpoint(const std::string& host, unsigned short port);

// A numeric address and port to listen on.
struct ListenAddress {
    std::string host;         // numeric, without brackets; empty: none
    unsigned short port = 0;  // 0: none
    sockaddr_storage address{};
    socklen_t length = 0;

    bool set() const { return port != 0; }
    // Returns ADDRESS:PORT as the operator writes it.
    std::string text() const { return FormatEndpoint(host, port); }
    bool operator==(const ListenAddress& other) const { return host == other.host && port == other.port; }
    bool operator!=(const ListenAddress& other) const { return !(*this == other); }
};

// Parses "ADDRESS:PORT": a numeric IPv4 address, or an IPv6 address in
// brackets ("[::1]:9464"), and a port 1..65535. 0.0.0.0 and [::] listen on
// every address. Host names are refused: the daemon resolves no name to
// decide where it listens. Returns false and sets `reason` (a sentence
// naming the value) when the text is not such an address.
bool ParseListenAddress(const std::string& text, ListenAddress& parsed, std::string& reason);
