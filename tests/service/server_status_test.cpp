// The two forms of -servers: the aligned text table and the JSON array, and
// their grouping by pool.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "appserver/RecordViews.h"
#include "service/ServerStatus.h"

namespace {

TEST(ServerStatusFormat, AlignedTableAndEscapedJson)
{
    std::vector<ServerStatus> servers(3);
    servers[0] = {"127.0.0.1", 8001, 4242, "running", 0, 65, 2, "signal 9", 1700000000};
    servers[1] = {"::1", 18002, 0, "stopped by operator", 0, 0, 0, "", 0};
    servers[2] = {"host\"\\\x01\xff\xc3\xa9", 8003, 0, "throttled until 12:00:00", 1700000100,
                  0, 7, "exit 3", 1700000050};
    std::string table = FormatServerTable(servers);
    std::vector<std::string> lines;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("127.0.0.1:8001", 0), 0u);
    EXPECT_EQ(lines[1].rfind("[::1]:18002", 0), 0u);
    // Every column starts at the same place on every line.
    for (const char* column : {"pid ", "uptime ", "restarts ", "last end "})
        EXPECT_TRUE(lines[0].find(column) == lines[1].find(column) &&
                    lines[1].find(column) == lines[2].find(column))
            << column << "\n" << table;
    EXPECT_NE(lines[0].find("pid 4242"), std::string::npos);
    EXPECT_NE(lines[0].find("uptime 0:01:05"), std::string::npos);
    EXPECT_NE(lines[0].find("last end signal 9 at "), std::string::npos);
    EXPECT_NE(lines[1].find("pid -"), std::string::npos);
    EXPECT_NE(lines[1].find("last end -"), std::string::npos);
    EXPECT_EQ(lines[1].back(), '-');

    std::string json = FormatServerJson(servers);
    EXPECT_NE(json.find("{\"address\": \"127.0.0.1\", \"port\": 8001, \"pid\": 4242, \"state\": "
                        "\"running\", \"throttled_until\": null, \"uptime_s\": 65, \"restarts\": "
                        "2, \"last_end\": \"signal 9\", \"last_end_time\": 1700000000, \"ready\": "
                        "false, \"ready_s\": null, \"probe_failures\": 0}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"pid\": 0, \"state\": \"stopped by operator\", \"throttled_until\": "
                        "null, \"uptime_s\": 0, \"restarts\": 0, \"last_end\": null, "
                        "\"last_end_time\": null"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"address\": \"host\\\"\\\\\\u0001\\ufffd\xc3\xa9\""), std::string::npos)
        << json;
    EXPECT_EQ(FormatServerJson({}), "[]\n");
    EXPECT_EQ(DescribeEnd(9), "signal 9");
    EXPECT_EQ(DescribeEnd(3 << 8), "exit 3");
    EXPECT_EQ(FormatUptime(90061), "1d 01:01:01");
}

// -servers groups the rows by pool, keeping the table's order within one;
// the pool is a column of the text and a key of the JSON.
TEST(ServerStatusFormat, RowsGroupedByPool)
{
    std::vector<ServerStatus> servers(4);
    const char* pools[] = {"web", "batch", "web", "a\"b"};
    for (unsigned short i = 0; i < 4; ++i) {
        servers[i].address = "10.0.0.1";
        servers[i].port = static_cast<unsigned short>(8001 + i);
        servers[i].state = "serving";
        servers[i].pool = pools[i];
    }
    GroupByPool(servers);
    std::vector<unsigned short> order;
    for (const ServerStatus& s : servers)
        order.push_back(s.port);
    EXPECT_EQ(order, (std::vector<unsigned short>{8004, 8002, 8001, 8003}));
    std::string table = FormatServerTable(servers);
    EXPECT_EQ(table.rfind("10.0.0.1:8004  pool a\"b    pid -", 0), 0u) << table;
    EXPECT_NE(table.find("\n10.0.0.1:8003  pool web    pid -"), std::string::npos) << table;
    std::string json = FormatServerJson(servers);
    EXPECT_NE(json.find("\"probe_failures\": 0, \"pool\": \"a\\\"b\"}"), std::string::npos) << json;
}

}  // namespace
