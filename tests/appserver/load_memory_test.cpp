// Building the server table from a large landscape leaves nothing of the
// load behind: no memory in use, and its pages back with the system.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "common/installation.h"

namespace {

struct Footprint {
    long long inUseBytes;
    long long residentKb;
};

long long ResidentKb()
{
    long long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

// One server on 127.0.0.1, and `others` on hosts of their own with `ports`.
std::vector<std::string> Landscape(int others, const std::string& ports)
{
    std::vector<std::string> elements{"<appserver host=\"127.0.0.1\" ports=\"40001\"/>"};
    for (int n = 0; n < others; ++n)
        elements.push_back("<appserver host=\"10." + std::to_string(n >> 16 & 255) + "." +
                           std::to_string(n >> 8 & 255) + "." + std::to_string(n & 255) +
                           "\" ports=\"" + ports + "\"/>");
    return elements;
}

// What building the table adds while the manager lives.
Footprint BuildTable(const testutil::Installation& installation,
                     const std::vector<std::string>& landscape)
{
    installation.writeServerConfig(landscape);
    malloc_trim(0);
    const long long inUse = static_cast<long long>(mallinfo2().uordblks);
    const long long resident = ResidentKb();
    CAppServerManager manager;
    manager.setIPList(std::vector<std::string>{"127.0.0.1"});
    manager.buildTables();
    EXPECT_EQ(1u, manager.processes().size());
    return {static_cast<long long>(mallinfo2().uordblks) - inUse, ResidentKb() - resident};
}

TEST(LoadMemoryTest, LargeLandscapeCostsWhatOneServerCostsOnceTheTableIsBuilt)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators hold freed memory on purpose";
#endif
    testutil::Installation installation;
    installation.writeWebInterfaceConf("[GLOBAL]\n");
    BuildTable(installation, Landscape(0, ""));  // one-time tables of the first load
    const Footprint one = BuildTable(installation, Landscape(0, ""));
    for (const char* ports : {"9000", "9000-9049"}) {
        const Footprint large = BuildTable(installation, Landscape(20000, ports));
        EXPECT_LT(large.inUseBytes - one.inUseBytes, 4096) << ports;
        EXPECT_LT(large.residentKb - one.residentKb, 2048) << ports;
    }
}

}  // namespace
