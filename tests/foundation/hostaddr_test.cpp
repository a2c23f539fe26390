// The object wrappers over host addresses and string lists: results match
// the C functions, failures throw with their texts.
#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "baselib/kx_file.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "foundation/HostAddr.h"
#include "foundation/KXStringList.h"
#include "foundation/Log.h"

namespace {

class HostAddrWrappers : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = getenv("TARVEL_ENABLE_IPv6");
        hadIPv6 = old != nullptr;
        if (hadIPv6)
            oldIPv6 = old;
        unsetenv("TARVEL_ENABLE_IPv6");
        CLog::setFileName((dir / "log").c_str());
    }
    void TearDown() override
    {
        CLog::setFileHandle(KXFileStderr);
        if (hadIPv6)
            setenv("TARVEL_ENABLE_IPv6", oldIPv6.c_str(), 1);
    }
    std::vector<std::string> Messages() const { return testutil::LogMessages(dir / "log"); }

    testutil::TempDir dir;
    bool hadIPv6 = false;
    std::string oldIPv6;
};

TEST_F(HostAddrWrappers, LocalListAndPrimaryAddress)
{
    std::vector<std::string> list = GetLocalIPList();
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list[list.size() - 2], "127.0.0.1");
    EXPECT_EQ(list.back(), "localhost");
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof(host)), 0);
    EXPECT_NE(std::find(list.begin(), list.end(), std::string(host)), list.end());

    CPrimaryIP primary;
    EXPECT_EQ(primary.address(), list[0]);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(HostAddrWrappers, ResolveAndAddressFamily)
{
    CResolveHostName loopback("localhost", 80, IPPROTO_TCP);
    ASSERT_NE(loopback.addrInfo(), nullptr);
    EXPECT_EQ(loopback.addrInfo()->ai_family, AF_INET);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in*>(loopback.addrInfo()->ai_addr)->sin_port), 80);

    EXPECT_EQ(CResolveHostName::getAddressFamily("::1", IPPROTO_TCP), AF_INET6);
    EXPECT_EQ(CResolveHostName::getAddressFamily("192.168.0.1", IPPROTO_TCP), AF_INET);
    EXPECT_EQ(CResolveHostName::getAddressFamily("localhost", IPPROTO_TCP), AF_INET);
    EXPECT_EQ(CResolveHostName::getAddressFamily("", IPPROTO_TCP), AF_INET);
    setenv("TARVEL_ENABLE_IPv6", "1", 1);
    EXPECT_EQ(CResolveHostName::getAddressFamily("", IPPROTO_TCP), AF_INET6);
    unsetenv("TARVEL_ENABLE_IPv6");
    EXPECT_TRUE(Messages().empty());  // literals are never looked up

    EXPECT_THROW(CResolveHostName::getAddressFamily("unknown-host.invalid", IPPROTO_TCP),
                 CSocketException);
    try {
        CResolveHostName failing("other-host.invalid", 0, IPPROTO_TCP);
        ADD_FAILURE() << "resolved a name under .invalid";
    } catch (const CSocketException& e) {
        EXPECT_NE(std::string(e.what()).find("other-host.invalid"), std::string::npos) << e.what();
    }
    auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].rfind("ResolveHostName(other-host.invalid): getaddrinfo() failed", 0), 0u);
}

TEST(CKXStringListWrapper, SizeElementsAndErrors)
{
    CKXStringList list;
    EXPECT_EQ(list.size(), 0);
    ASSERT_EQ(KXStringListAdd(list, "one"), ERROR_NONE);
    ASSERT_EQ(KXStringListAdd(list.handle(), "two"), ERROR_NONE);
    EXPECT_EQ(list.size(), 2);
    EXPECT_STREQ(list.elementAt(1), "two");
    try {
        list.elementAt(2);
        ADD_FAILURE() << "no exception";
    } catch (const CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_INDEX);
        EXPECT_STREQ(e.what(),
                     "CKXStringList::elementAt(): KXStringListElementAt() failed (status=3)");
    }
}

}  // namespace
