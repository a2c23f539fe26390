// Server endpoints (KXServer and CKXServer) against listeners on 127.0.0.1:
// new and parked sockets, the parking limit, the check of kept sockets,
// comparisons and properties.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "baselib/kx_server.h"
#include "baselib/kx_stringlist.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"
#include "foundation/KXServer.h"
#include "foundation/Log.h"

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CLog::setFileName(logPath.c_str());
        log = CLog::_pKXLog;
        ASSERT_EQ(KXServerSocketNew(&listener, "127.0.0.1", 0, AF_INET, log), ERROR_NONE);
        ASSERT_EQ(KXServerNew(&server, "127.0.0.1", listener->port, log), ERROR_NONE);
    }

    void TearDown() override
    {
        if (server != nullptr) {
            EXPECT_EQ(KXServerFree(&server, log), ERROR_NONE);
        }
        for (KXSocket* s : accepted)
            KXSocketFree(&s, log);
        KXSocketFree(&listener, log);
    }

    int Lines(const std::string& text) { return testutil::CountLinesContaining(logPath, text); }
    std::string LogText() { return testutil::ReadFile(logPath); }

    int Parked()
    {
        int count = -1;
        KXListSize(server->parked, server->mm, &count);
        return count;
    }

    KXSocket* ParkedAt(int index)
    {
        KXStatus status;
        return static_cast<KXSocket*>(KXListElementAt(server->parked, server->mm, &status, index));
    }

    // A new connection from the endpoint, with its other end accepted and kept.
    KXSocket* Get()
    {
        KXSocket* s = nullptr;
        EXPECT_EQ(KXServerGetSocket(server, &s, 5, log), ERROR_NONE) << LogText();
        KXSocket* other = nullptr;
        EXPECT_EQ(KXSocketAccept(listener, &other, log), ERROR_NONE);
        accepted.push_back(other);
        return s;
    }

    testutil::TempDir dir;
    std::string logPath = dir / "Service.log";
    KXLog* log = nullptr;
    KXSocket* listener = nullptr;
    KXServer* server = nullptr;
    std::vector<KXSocket*> accepted;
};

TEST_F(ServerTest, NewConnectionThenTheParkedOne)
{
    KXSocket* first = Get();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->host, "127.0.0.1");
    EXPECT_EQ(first->port, listener->port);

    KXSocket* kept = first;
    EXPECT_EQ(KXServerParkSocket(server, &first, log), ERROR_NONE);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(Parked(), 1);

    // Healthy and young: handed out again instead of a new connection.
    KXSocket* again = nullptr;
    EXPECT_EQ(KXServerGetSocket(server, &again, 5, log), ERROR_NONE);
    EXPECT_EQ(again, kept);
    EXPECT_EQ(Parked(), 0);
    KXSocketFree(&again, log);
    EXPECT_EQ(LogText(), "");
}

TEST_F(ServerTest, UnusableParkedSocketsAreReplacedByANewConnection)
{
    KXSocket* old = Get();
    KXSocket* closed = Get();
    ASSERT_NE(old, nullptr);
    ASSERT_NE(closed, nullptr);
    old->connectTime = time(nullptr) - 301;
    // The peer of the second one goes away politely.
    KXSocket* peer = accepted.back();
    accepted.pop_back();
    linger off{0, 0};
    setsockopt(peer->fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    KXSocketFree(&peer, log);
    ASSERT_TRUE(testutil::WaitUntil([&] { return KXSocketCheck(closed, log) != ERROR_NONE; }, 5000));

    EXPECT_EQ(KXServerParkSocket(server, &old, log), ERROR_NONE);
    EXPECT_EQ(KXServerParkSocket(server, &closed, log), ERROR_NONE);
    EXPECT_EQ(Parked(), 2);
    KXSocket* s = nullptr;
    EXPECT_EQ(KXServerGetSocket(server, &s, 5, log), ERROR_NONE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Parked(), 0);
    EXPECT_EQ(KXSocketCheck(s, log), ERROR_NONE);
    EXPECT_GE(s->connectTime, time(nullptr) - 5);
    KXSocketFree(&s, log);
}

TEST_F(ServerTest, GivesUpAtTheHundredAndFirstFailedCheck)
{
    // Sockets that were never connected fail the check at once.
    for (int i = 0; i < 102; ++i) {
        KXSocket* s = nullptr;
        ASSERT_EQ(KXSocketNew(&s, AF_INET, log), ERROR_NONE);
        ASSERT_EQ(KXServerParkSocket(server, &s, log), ERROR_NONE);
    }
    KXSocket* s = nullptr;
    EXPECT_EQ(KXServerGetSocket(server, &s, 5, log), ERROR_SOCKET_UNUSABLE);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Parked(), 1);
    EXPECT_EQ(Lines("KXServerGetSocket(): no usable socket found after 100 tries"), 1);
}

TEST_F(ServerTest, ParkingLimit)
{
    KXSocket* s[3] = {};
    for (auto& socket : s)
        ASSERT_EQ(KXSocketNew(&socket, AF_INET, log), ERROR_NONE);
    KXSocket* first = s[0];

    EXPECT_EQ(KXServerSetMaxParked(server, 2, log), ERROR_NONE);
    EXPECT_EQ(KXServerParkSocket(server, &s[0], log), ERROR_NONE);
    EXPECT_EQ(KXServerParkSocket(server, &s[1], log), ERROR_NONE);
    // The third is closed instead of kept, and the caller's handle cleared.
    EXPECT_EQ(KXServerParkSocket(server, &s[2], log), ERROR_NONE);
    EXPECT_EQ(s[2], nullptr);
    EXPECT_EQ(Parked(), 2);

    // Lifting the limit and lowering it again drops the latest first.
    EXPECT_EQ(KXServerSetMaxParked(server, 0, log), ERROR_NONE);
    KXSocket* extra = nullptr;
    ASSERT_EQ(KXSocketNew(&extra, AF_INET, log), ERROR_NONE);
    EXPECT_EQ(KXServerParkSocket(server, &extra, log), ERROR_NONE);
    EXPECT_EQ(Parked(), 3);
    EXPECT_EQ(KXServerSetMaxParked(server, 1, log), ERROR_NONE);
    EXPECT_EQ(Parked(), 1);
    EXPECT_EQ(ParkedAt(0), first);

    EXPECT_EQ(KXServerSetMaxParked(server, -1, log), ERROR_PARAMETER);
    EXPECT_EQ(KXServerParkSocket(server, &extra, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXServerParkSocket(): wrong arguments passed to procedure"), 1);
}

TEST_F(ServerTest, NewConnectionsGetTheMaximumSegmentSize)
{
    EXPECT_EQ(KXServerSetMSS(server, 600, log), ERROR_NONE);
    KXSocket* s = Get();
    ASSERT_NE(s, nullptr);
    int mss = 0;
    socklen_t length = sizeof mss;
    ASSERT_EQ(getsockopt(s->fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &length), 0);
    EXPECT_LE(mss, 600);
    EXPECT_GT(mss, 0);
    KXSocketFree(&s, log);
}

TEST_F(ServerTest, RefusedConnectionIsReturnedAndNothingIsKept)
{
    KXServer* nobody = nullptr;
    unsigned short port = testutil::FreePort();
    ASSERT_EQ(KXServerNew(&nobody, "127.0.0.1", port, log), ERROR_NONE);
    KXSocket* s = nullptr;
    EXPECT_EQ(KXServerGetSocket(nobody, &s, 5, log), ERROR_SOCKET_CONNECT);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Lines("KXSocketConnect(): connect to [127.0.0.1]:" + std::to_string(port) +
                    " failed (111"),
              1);
    EXPECT_EQ(KXServerFree(&nobody, log), ERROR_NONE);
    EXPECT_EQ(nobody, nullptr);
}

TEST_F(ServerTest, CreationArguments)
{
    KXServer* s = nullptr;
    EXPECT_EQ(KXServerNew(&s, "nohost.invalid", 80, log), ERROR_ADDRINFO);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(KXServerNew(&s, std::string(256, 'a').c_str(), 80, log), ERROR_PARAMETER);
    EXPECT_EQ(KXServerNew(&s, nullptr, 80, log), ERROR_PARAMETER);
    EXPECT_EQ(KXServerNew(&server, "127.0.0.1", 80, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXServerNew(): wrong arguments passed to procedure"), 3);
    EXPECT_EQ(s, nullptr);

    char host[KX_SERVER_HOST_SIZE];
    unsigned short port = 0;
    EXPECT_EQ(KXServerGetIP(server, host, log), ERROR_NONE);
    EXPECT_STREQ(host, "127.0.0.1");
    EXPECT_EQ(KXServerGetPort(server, &port, log), ERROR_NONE);
    EXPECT_EQ(port, listener->port);
}

TEST_F(ServerTest, EqualityAndHostMatching)
{
    KXServer* any = nullptr;
    KXServer* other = nullptr;
    KXServer* named = nullptr;
    ASSERT_EQ(KXServerNew(&any, "127.0.0.1", 0, log), ERROR_NONE);
    ASSERT_EQ(KXServerNew(&other, "127.0.0.1", 81, log), ERROR_NONE);
    ASSERT_EQ(KXServerNew(&named, "localhost", 8080, log), ERROR_NONE);
    int equal = -1;
    EXPECT_EQ(KXServerEqual(server, any, &equal, log), ERROR_NONE);
    EXPECT_EQ(equal, 1);
    EXPECT_EQ(KXServerEqual(server, other, &equal, log), ERROR_NONE);
    EXPECT_EQ(equal, listener->port == 81 ? 1 : 0);
    // Texts, not addresses, are compared.
    EXPECT_EQ(KXServerEqual(any, named, &equal, log), ERROR_NONE);
    EXPECT_EQ(equal, 0);

    int match = -1;
    EXPECT_EQ(KXServerMatchHost(named, "127.0.0.1", 0, &match, log), ERROR_NONE);
    EXPECT_EQ(match, 1);
    EXPECT_EQ(KXServerMatchHost(named, "127.0.0.1", 8080, &match, log), ERROR_NONE);
    EXPECT_EQ(match, 1);
    EXPECT_EQ(KXServerMatchHost(named, "127.0.0.1", 8081, &match, log), ERROR_NONE);
    EXPECT_EQ(match, 0);
    EXPECT_EQ(KXServerMatchHost(any, "127.0.0.1", 8081, &match, log), ERROR_NONE);
    EXPECT_EQ(match, 1);
    EXPECT_EQ(KXServerMatchHost(named, "127.0.0.2", 8080, &match, log), ERROR_NONE);
    EXPECT_EQ(match, 0);
    EXPECT_EQ(KXServerMatchHost(named, nullptr, 0, &match, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXServerMatchHost(): wrong arguments passed to procedure"), 1);

    for (KXServer** s : {&any, &other, &named})
        EXPECT_EQ(KXServerFree(s, log), ERROR_NONE);
}

TEST_F(ServerTest, Properties)
{
    char buffer[16];
    int value = 0;
    EXPECT_EQ(KXServerGetStringProperty(server, "name", buffer, sizeof buffer, log),
              ERROR_NOT_FOUND);
    EXPECT_EQ(KXServerGetIntProperty(server, "count", &value, log), ERROR_NOT_FOUND);
    EXPECT_EQ(LogText(), "");

    EXPECT_EQ(KXServerSetStringProperty(server, "name", "first", log), ERROR_NONE);
    EXPECT_EQ(KXServerSetStringProperty(server, "name", "second", log), ERROR_NONE);
    EXPECT_EQ(KXServerGetStringProperty(server, "name", buffer, sizeof buffer, log), ERROR_NONE);
    EXPECT_STREQ(buffer, "second");
    // Six characters need seven bytes.
    std::strcpy(buffer, "untouched");
    EXPECT_EQ(KXServerGetStringProperty(server, "name", buffer, 6, log), ERROR_BUFFER_SIZE);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(KXServerGetStringProperty(server, "name", buffer, 7, log), ERROR_NONE);
    EXPECT_EQ(KXServerGetStringProperty(server, "Name", buffer, sizeof buffer, log),
              ERROR_NOT_FOUND);

    EXPECT_EQ(KXServerSetIntProperty(server, "count", 7, log), ERROR_NONE);
    EXPECT_EQ(KXServerSetIntProperty(server, "count", -3, log), ERROR_NONE);
    EXPECT_EQ(KXServerSetIntProperty(server, "weight", 2, log), ERROR_NONE);
    EXPECT_EQ(KXServerGetIntProperty(server, "count", &value, log), ERROR_NONE);
    EXPECT_EQ(value, -3);
    // The two tables are separate.
    EXPECT_EQ(KXServerGetIntProperty(server, "name", &value, log), ERROR_NOT_FOUND);

    KXStringList* names = nullptr;
    ASSERT_EQ(KXStringListNew(&names), ERROR_NONE);
    EXPECT_EQ(KXServerGetIntProperties(server, names, log), ERROR_NONE);
    int size = 0;
    KXStringListSize(names, &size);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(KXServerGetStringProperties(server, names, log), ERROR_NONE);
    KXStringListSize(names, &size);
    EXPECT_EQ(size, 3);
    KXStatus status;
    EXPECT_STREQ(KXStringListElementAt(names, 2, &status), "name");
    KXStringListFree(&names);

    EXPECT_EQ(KXServerSetStringProperty(server, "name", nullptr, log), ERROR_PARAMETER);
    EXPECT_EQ(KXServerGetStringProperty(server, "name", buffer, 0, log), ERROR_PARAMETER);
    EXPECT_EQ(Lines("KXServerSetStringProperty(): wrong arguments passed to the procedure"), 1);
    EXPECT_EQ(Lines("KXServerGetStringProperty(): wrong arguments passed to the procedure"), 1);
    // Freeing the endpoint releases the values (the sanitizer build checks).
}

TEST_F(ServerTest, ObjectWrapper)
{
    {
        CKXServer endpoint("127.0.0.1", listener->port);
        KXSocket* s = endpoint.getSocket(5);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->port, listener->port);
        KXSocketFree(&s, log);
    }
    try {
        CKXServer endpoint("nohost.invalid", 80);
        ADD_FAILURE() << "no exception";
    } catch (const CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_ADDRINFO);
        EXPECT_STREQ(e.what(), "CKXServer::CKXServer(): KXServerNew() failed (status=11)");
    }
    unsigned short port = testutil::FreePort();
    CKXServer refused("127.0.0.1", port);
    try {
        refused.getSocket(5);
        ADD_FAILURE() << "no exception";
    } catch (const CWIException& e) {
        EXPECT_EQ(e.getStatus(), ERROR_SOCKET_CONNECT);
        EXPECT_STREQ(e.what(), "CKXServer::getSocket(): KXServerGetSocket() failed (status=30002)");
    }
}

}  // namespace
