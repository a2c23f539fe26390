// The address list of the manager and the server table built from
// WebInterface.conf, ServerConfig.xml and that list.
#include <gtest/gtest.h>

#include "appserver/AppServerManager.h"
#include "foundation/Exceptions.h"
#include "foundation/HostAddr.h"
#include "common/installation.h"

using testutil::Installation;

namespace {

typedef std::vector<std::string> Strings;

class IPList : public ::testing::Test {
protected:
    Installation inst;
    CAppServerManager manager;
};

TEST_F(IPList, WordsKeptAsWrittenWithoutDuplicatesInFirstOrder)
{
    manager.setIPList("10.0.0.1,10.0.0.1 10.0.0.2");
    EXPECT_EQ(manager.ipList(), (Strings{"10.0.0.1", "10.0.0.2"}));
    manager.setIPList(" ,\t10.0.0.3,,\t 127.0.0.1 , 10.0.0.3,");
    EXPECT_EQ(manager.ipList(), (Strings{"10.0.0.3", "127.0.0.1"}));
}

TEST_F(IPList, NoWordsGiveTheLocalHostsList)
{
    Strings local = GetLocalIPList();
    ASSERT_FALSE(local.empty());
    for (const char* text : {static_cast<const char*>(nullptr), "", " ,\t, "}) {
        manager.setIPList(std::vector<std::string>{"x"});
        manager.setIPList(text);
        EXPECT_EQ(manager.ipList(), local) << (text ? text : "(null)");
    }
}

TEST_F(IPList, UnresolvableWordThrowsAndKeepsTheWordsBefore)
{
    EXPECT_THROW(manager.setIPList("127.0.0.1 10.0.0.7 nohost.invalid 10.0.0.8"), CSocketException);
    EXPECT_EQ(manager.ipList(), (Strings{"127.0.0.1", "10.0.0.7"}));
}

TEST_F(IPList, OverlongTextIsRefusedNotCut)
{
    std::string text;
    while (text.size() < 8192)
        text += "127.0.0.1 ";
    manager.setIPList(std::vector<std::string>{"x"});
    EXPECT_THROW(manager.setIPList(text.c_str()), CWIException);
    EXPECT_TRUE(manager.ipList().empty());

    text = "127.0.0.1" + std::string(8191 - 9, ' ');  // the longest text accepted
    manager.setIPList(text.c_str());
    EXPECT_EQ(manager.ipList(), (Strings{"127.0.0.1"}));
}

TEST_F(IPList, VectorIsTakenUnchecked)
{
    manager.setIPList(Strings{"b.invalid", "a", "a"});
    EXPECT_EQ(manager.ipList(), (Strings{"b.invalid", "a", "a"}));
    manager.setIPList(Strings{});
    EXPECT_TRUE(manager.ipList().empty());
}

TEST(AppServerManager, ConstructionNeedsTarvel)
{
    Installation inst;
    unsetenv("TARVEL");
    EXPECT_THROW(CAppServerManager(), CWIException);
}

class ServerTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        inst.writeWebInterfaceConf("[GLOBAL]\nOPTIONS=-w -Ilib\n");
        inst.writeServerConfig(
            {"<appserver host=\"10.0.0.1\" ports=\"8002,8001\" bind=\"false\"/>"});
    }
    std::string noServiceMessage(const Strings& list)
    {
        manager.setIPList(list);
        try {
            manager.buildTables();
        } catch (CWIException& e) {
            EXPECT_EQ(e.getStatus(), ERROR_GENERAL);
            EXPECT_TRUE(manager.processes().empty());
            return e.what();
        }
        return "no exception";
    }

    Installation inst;
    CAppServerManager manager;
};

TEST_F(ServerTable, OneRecordPerPortOfAListedHostInPortOrder)
{
    manager.setIPList(Strings{"127.0.0.1", "10.0.0.1"});
    manager.buildTables();
    const auto& table = manager.processes();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].mPort, 8002);
    EXPECT_EQ(table[1].mPort, 8001);
    for (const auto& p : table) {
        EXPECT_EQ(p.mHost, "10.0.0.1");
        EXPECT_EQ(p.mState, ServerState::Down);
        EXPECT_EQ(p.mBaseDir, getenv("TARVEL"));
    }
    EXPECT_EQ(table[0].mCommand,
              inst.perl() + " -w -Ilib " + inst.script() + " -localip 10.0.0.1 -port 8002");
}

TEST_F(ServerTable, BindSwitchAddsBindWord)
{
    inst.writeServerConfig({"<appserver host=\"10.0.0.1\" ports=\"8001\" bind=\"true\"/>"});
    manager.setIPList(Strings{"10.0.0.1"});
    manager.buildTables();
    ASSERT_EQ(manager.processes().size(), 1u);
    EXPECT_EQ(manager.processes()[0].mCommand,
              inst.perl() + " -w -Ilib " + inst.script() + " -localip 10.0.0.1 -port 8001 -bind");
}

TEST_F(ServerTable, MissingOrEmptyOptionsGiveCommandsWithoutOptions)
{
    const std::string expected =
        inst.perl() + " " + inst.script() + " -localip 10.0.0.1 -port 8002";
    for (const char* conf : {"[GLOBAL]\nOPTIONS=\n", "[GLOBAL]\nTIMEOUT=5\n", "; nothing\n"}) {
        CAppServerManager m;
        inst.writeWebInterfaceConf(conf);
        m.setIPList(Strings{"10.0.0.1"});
        m.buildTables();
        ASSERT_EQ(m.processes().size(), 2u) << conf;
        EXPECT_EQ(m.processes()[0].mCommand, expected) << conf;
    }
}

TEST_F(ServerTable, NoServiceMessageNamesTheList)
{
    EXPECT_EQ(
        noServiceMessage({"10.0.0.01"}),
        "CAppServerManagerImpl::buildTables(): no service configured for IP: 10.0.0.01 (status=1)");
    EXPECT_EQ(noServiceMessage({"10.0.0.3", "10.0.0.2"}),
              "CAppServerManagerImpl::buildTables(): no service configured for IP's: 10.0.0.3 "
              "10.0.0.2 (status=1)");
    EXPECT_EQ(noServiceMessage({}),
              "CAppServerManagerImpl::buildTables(): no service configured for IP: (status=1)");
}

TEST_F(ServerTable, ConfigurationFailuresLeaveBuildTables)
{
    manager.setIPList(Strings{"10.0.0.1"});
    unlink(inst.path("config/WebInterface.conf").c_str());
    EXPECT_ANY_THROW(manager.buildTables());
    inst.writeWebInterfaceConf("[GLOBAL]\n");
    testutil::WriteFile(inst.path("config/ServerConfig.xml"), "<config>");
    EXPECT_ANY_THROW(manager.buildTables());
    EXPECT_TRUE(manager.processes().empty());
}

}  // namespace
