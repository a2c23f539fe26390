// Host addresses: the IPv6 switch, resolution of loopback names and the
// machine's own name, the local list, host comparison, ParseSocket.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baselib/kx_hostaddr.h"
#include "baselib/kx_log.h"
#include "baselib/kx_stringlist.h"
#include "common/test_util.h"
#include "string_list_items.h"

namespace {

// Sets or unsets TARVEL_ENABLE_IPv6 for one scope.
class IPv6Switch : public testutil::ScopedEnv {
public:
    explicit IPv6Switch(const char* value) : ScopedEnv("TARVEL_ENABLE_IPv6", value) {}
};

// A log written to a temporary file; Lines() gives the messages without
// the time, host and pid prefix.
class FileLog {
public:
    FileLog()
    {
        EXPECT_EQ(KXLogNew(&mLog), 0);
        EXPECT_EQ(KXLogSetOutputFile(mLog, (mDir / "log").c_str()), 0);
    }
    ~FileLog() { KXLogFree(&mLog); }
    KXLog* get() { return mLog; }
    std::vector<std::string> Lines() const { return testutil::LogMessages(mDir / "log"); }

private:
    testutil::TempDir mDir;
    KXLog* mLog = nullptr;
};

std::string HostName()
{
    char name[256] = "";
    gethostname(name, sizeof(name));
    return name;
}

std::vector<std::string> LocalList()
{
    KXStringList* list = nullptr;
    EXPECT_EQ(KXStringListNew(&list), ERROR_NONE);
    EXPECT_EQ(GetLocalIPs(list, nullptr), ERROR_NONE);
    std::vector<std::string> items = StringListItems(list);
    KXStringListFree(&list);
    return items;
}

TEST(HostAddr, IPv6SwitchReadsTheEnvironmentEachTime)
{
    struct Case {
        const char* value;
        int enabled;
    } cases[] = {{nullptr, 0}, {"", 0}, {"0", 0}, {"1", 1}, {"yes", 1}, {"false", 1}, {"00", 1}};
    for (const Case& c : cases) {
        IPv6Switch ipv6(c.value);
        EXPECT_EQ(IsIPv6Enabled(), c.enabled) << (c.value ? c.value : "(unset)");
    }
}

TEST(HostAddr, ResolvesLoopbackWithAndWithoutPort)
{
    IPv6Switch ipv6(nullptr);
    struct addrinfo *list = nullptr, *chosen = nullptr;
    ASSERT_EQ(ResolveHostName("localhost", 8080, &list, &chosen, IPPROTO_TCP, nullptr), ERROR_NONE);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->ai_family, AF_INET);
    EXPECT_EQ(chosen->ai_socktype, SOCK_STREAM);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(chosen->ai_addr)->sin_port), 8080);
    freeaddrinfo(list);

    ASSERT_EQ(ResolveHostName("127.0.0.1", 0, &list, &chosen, IPPROTO_UDP, nullptr), ERROR_NONE);
    EXPECT_EQ(chosen->ai_socktype, SOCK_DGRAM);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(chosen->ai_addr)->sin_port), 0);
    freeaddrinfo(list);
}

TEST(HostAddr, UnresolvableNameFailsWithTheLogLine)
{
    IPv6Switch ipv6(nullptr);
    FileLog log;
    struct addrinfo *list = nullptr, *chosen = nullptr;
    EXPECT_EQ(ResolveHostName("no-such-host.invalid", 0, &list, &chosen, IPPROTO_TCP, log.get()),
              ERROR_ADDRINFO);
    EXPECT_EQ(list, nullptr);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ResolveHostName(no-such-host.invalid): getaddrinfo() failed (result=", 0),
              0u)
        << lines[0];
}

TEST(HostAddr, IPv6OnlyAddressFailsWithoutIPv6)
{
    IPv6Switch ipv6(nullptr);
    FileLog log;
    struct addrinfo *list = nullptr, *chosen = nullptr;
    // Asked for IPv4 only, an IPv6 literal cannot yield an entry.
    KXStatus status = ResolveHostName("::1", 0, &list, &chosen, IPPROTO_TCP, log.get());
    EXPECT_NE(status, ERROR_NONE);
    EXPECT_EQ(list, nullptr);
}

TEST(HostAddr, LocalListEndsWithLoopbackEntries)
{
    std::string host = HostName();
    {
        IPv6Switch ipv6("0");
        auto items = LocalList();
        ASSERT_GE(items.size(), 3u);
        EXPECT_EQ(items[items.size() - 2], "127.0.0.1");
        EXPECT_EQ(items.back(), "localhost");
        size_t dot = host.find('.');
        size_t names = dot == std::string::npos ? 1 : 2;
        ASSERT_GE(items.size(), 2 + names);
        EXPECT_EQ(items[items.size() - 2 - names], host);
        if (dot != std::string::npos) {
            EXPECT_EQ(items[items.size() - 3], host.substr(0, dot));
        }
        // The resolver's addresses come first: the primary address is one.
        char primary[KX_HOSTADDR_SIZE] = "";
        ASSERT_EQ(GetPrimaryIP(primary, nullptr), ERROR_NONE);
        EXPECT_EQ(primary, items[0]);
    }
    {
        IPv6Switch ipv6("1");
        KXStringList* list = nullptr;
        ASSERT_EQ(KXStringListNew(&list), ERROR_NONE);
        KXStatus status = GetLocalIPs(list, nullptr);
        if (status == ERROR_NONE) {
            int size = 0;
            KXStringListSize(list, &size);
            ASSERT_GE(size, 4);
            std::vector<std::string> tail;
            for (int i = size - 4; i < size; i++)
                tail.emplace_back(KXStringListElementAt(list, i, &status));
            EXPECT_EQ(tail, (std::vector<std::string>{"127.0.0.1", "localhost", "::1",
                                                      "ipv6-localhost"}));
        } else {
            // A host without IPv6 addresses cannot resolve its name for IPv6.
            EXPECT_TRUE(status == ERROR_ADDRINFO || status == ERROR_ADDRESS_FAMILY) << status;
        }
        KXStringListFree(&list);
    }
    FileLog log;
    EXPECT_EQ(GetLocalIPs(nullptr, log.get()), ERROR_PARAMETER);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "GetLocalIPs(): wrong paramters passed to procedure"}));
}

TEST(HostAddr, CompareHostAddr)
{
    IPv6Switch ipv6(nullptr);
    EXPECT_EQ(CompareHostAddr("10.0.0.1", "10.0.0.1", nullptr), 0);
    EXPECT_NE(CompareHostAddr("10.0.0.1", "10.0.0.01", nullptr), 0);
    EXPECT_EQ(CompareHostAddr("", "localhost", nullptr), -1);
    EXPECT_EQ(CompareHostAddr("localhost", "", nullptr), -1);
    EXPECT_EQ(CompareHostAddr("localhost", "127.0.0.1", nullptr), 0);
    EXPECT_EQ(CompareHostAddr("127.0.0.1", "localhost", nullptr), 0);
    EXPECT_EQ(CompareHostAddr("localhost", "10.0.0.1", nullptr), -1);
    EXPECT_EQ(CompareHostAddr("localhost", HostName().c_str(), nullptr),
              CompareHostAddr("127.0.0.1", HostName().c_str(), nullptr));
    EXPECT_EQ(CompareHostAddr("localhost", "localhost", nullptr), 0);
    EXPECT_EQ(CompareHostAddr("localhost", "nothing.invalid", nullptr), -1);
    EXPECT_EQ(CompareHostAddr("nothing.invalid", "127.0.0.1", nullptr), -1);

    FileLog log;
    EXPECT_EQ(CompareHostAddr(nullptr, "a", log.get()), ERROR_PARAMETER);
    EXPECT_EQ(CompareHostAddr("a", nullptr, log.get()), ERROR_PARAMETER);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "CompareHostAddr(): parameter hostName1 mustn't be NULL",
                               "CompareHostAddr(): parameter hostName2 mustn't be NULL"}));
}

TEST(HostAddr, ParseSocket)
{
    int enable = 1;
    char text[] = "host:8080";
    unsigned short port = 0;
    EXPECT_EQ(ParseSocket(text, &port, &enable), 0);
    EXPECT_EQ(port, 8080);
    EXPECT_STREQ(text, "host");

    char plain[] = "host";
    char bad[] = "host:x";
    port = 1;
    EXPECT_EQ(ParseSocket(plain, &port, &enable), 1);
    EXPECT_EQ(ParseSocket(bad, &port, &enable), 1);
    EXPECT_STREQ(bad, "host:x");
    EXPECT_EQ(port, 1);
    char untouched[] = "host:80";
    EXPECT_EQ(ParseSocket(untouched, &port, nullptr), 1);
    EXPECT_STREQ(untouched, "host:80");
}

}  // namespace
