#include "foundation/HostAddr.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "foundation/Exceptions.h"
#include "foundation/KXStringList.h"
#include "foundation/Log.h"

CPrimaryIP::CPrimaryIP()
{
    char buffer[KX_HOSTADDR_SIZE] = "";
    KXStatus status = GetPrimaryIP(buffer, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throw CWIException(status, "CPrimaryIP::CPrimaryIP(): GetPrimaryIP failed");
    mAddress = buffer;
}

std::vector<std::string> GetLocalIPList()
{
    CKXStringList list;  // frees the list on every path
    KXStatus status = GetLocalIPs(list, CLog::_pKXLog);
    if (status != ERROR_NONE)
        throw CWIException(status, "GetLocalIPList(): GetLocalIPs() failed");

    std::vector<std::string> result;
    int size = list.size();
    for (int i = 0; i < size; i++)
        result.emplace_back(list.elementAt(i));
    return result;
}

CResolveHostName::CResolveHostName(const char* host, unsigned short port, int protocol)
{
    int reason = 0;
    if (ResolveHostNameReason(host, port, &mList, &mChosen, protocol, &reason, CLog::_pKXLog) !=
        ERROR_NONE) {
        // errno says nothing about a failed lookup; the resolver's own code does.
        int error = errno;
        const char* text = reason == EAI_SYSTEM ? strerror(error) : gai_strerror(reason);
        throw CSocketException(host != nullptr ? host : "", reason, text);
    }
}

CResolveHostName::~CResolveHostName()
{
    if (mList != nullptr)
        freeaddrinfo(mList);
}

int CResolveHostName::getAddressFamily(const char* host, int protocol)
{
    if (host == nullptr || host[0] == '\0')
        return IsIPv6Enabled() ? AF_INET6 : AF_INET;
    if (std::strchr(host, ':') != nullptr)
        return AF_INET6;
    if (host[std::strspn(host, "0123456789.")] == '\0')
        return AF_INET;
    CResolveHostName resolved(host, 0, protocol);
    return resolved.addrInfo()->ai_family;
}
