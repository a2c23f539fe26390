// Object wrappers over the host-address functions of the base library:
// they log to the process log and throw instead of returning a status.
#pragma once

#include <string>
#include <vector>

#include "baselib/kx_hostaddr.h"

struct addrinfo;

// The primary local address: the first address the resolver returns for the
// local host name, or the host name itself when it returned none.
class CPrimaryIP {
public:
    CPrimaryIP();  // throws CWIException
    const std::string& address() const { return mAddress; }

private:
    std::string mAddress;
};

// The local host's addresses and names, in the order of GetLocalIPs.
// Throws CWIException.
std::vector<std::string> GetLocalIPList();

// Resolves a host; owns the resolver's result list.
class CResolveHostName {
public:
    // Throws CSocketException(host) when the host does not resolve.
    CResolveHostName(const char* host, unsigned short port, int protocol);
    ~CResolveHostName();
    CResolveHostName(const CResolveHostName&) = delete;
    CResolveHostName& operator=(const CResolveHostName&) = delete;

    // The chosen entry; valid while this object lives.
    struct addrinfo* addrInfo() const { return mChosen; }

    // AF_INET or AF_INET6 for a host text; resolves names (and may throw
    // CSocketException), never literals.
    static int getAddressFamily(const char* host, int protocol);

private:
    struct addrinfo* mList = nullptr;
    struct addrinfo* mChosen = nullptr;
};
