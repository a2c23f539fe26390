// The status page as a browser gets it: a pool heading and a table per
// pool, each state in words and in its colour, figures shown once known,
// every configured text escaped, and nothing that runs or loads anything.
#include <gtest/gtest.h>

#include <regex>

#include "service/StatusPage.h"

namespace {

StatusPageServer Server(const std::string& pool, unsigned short port, const std::string& state)
{
    StatusPageServer server;
    server.status.address = "10.0.0.1";
    server.status.port = port;
    server.status.pool = pool;
    server.status.state = state;
    server.status.ready = state == "serving";
    server.status.pid = state == "serving" ? 4242 : 0;
    server.status.uptimeSeconds = 3725;
    return server;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(StatusPage, PoolsStatesFiguresAndEscaping)
{
    StatusPageService service;
    service.host = "host<1>";
    service.version = "1.2.3";
    service.startTime = 1700000000;
    std::vector<StatusPageServer> servers = {Server("a&b", 8001, "serving"), Server("a&b", 8002, "throttled"),
                                             Server("<script>x</script>", 8003, "stopped by operator")};
    servers[0].memoryBytes = 3.5 * 1024 * 1024;
    servers[0].cpuSeconds = 12.25;
    servers[1].status.lastEnd = "exit 3";
    servers[1].status.lastEndTime = 1700000100;
    const std::string page = RenderStatusPage(service, servers, 1700000200);

    EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
    // Nothing runs, nothing is fetched: no tag a configured name could open.
    EXPECT_EQ(page.find("<script"), std::string::npos) << page;
    EXPECT_FALSE(std::regex_search(page, std::regex("(src|href)="))) << page;
    EXPECT_NE(page.find("<h2>pool &lt;script&gt;x&lt;/script&gt; &middot; 0 of 1 serving</h2>"), std::string::npos)
        << page;
    EXPECT_NE(page.find("<h2>pool a&amp;b &middot; 1 of 2 serving</h2>"), std::string::npos) << page;
    EXPECT_NE(page.find("<title>tarvelsvc on host&lt;1&gt;</title>"), std::string::npos);
    EXPECT_NE(page.find("version 1.2.3 &middot; containment - &middot; started "), std::string::npos);
    EXPECT_EQ(Count(page, "<table>"), 2u);
    // State in words and colour; figures once known, "-" before.
    EXPECT_NE(page.find("<td class=\"ok\">serving</td><td class=\"n\">4242</td><td class=\"n\">1:02:05</td>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<td class=\"n\">3.5 MiB</td><td class=\"n\">12.2 s</td></tr>"), std::string::npos);
    EXPECT_NE(page.find("<td class=\"bad\">throttled</td><td class=\"n\">-</td>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td>exit 3 at "), std::string::npos);
    EXPECT_EQ(Count(page, "<td class=\"n\">-</td></tr>"), 2u);
    EXPECT_EQ(EscapeHtml("a<b>&\"c'\x01\x7f\xc3\xa9"), "a&lt;b&gt;&amp;&quot;c&#39;\xc3\xa9");
}

}  // namespace
