// The status page of the demo's service through the real binary: GET /
// shows its pool and servers, GET /servers.json is -servers -json's text,
// and Debian's chromium, headless, renders the page: its DOM holds the
// texts and its screenshot is not blank.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/installation.h"

namespace {

using testutil::Installation;
using testutil::RunResult;

// GET path; the whole answer, head included.
std::string Get(unsigned short port, const std::string& path)
{
    int fd = testutil::ConnectLoopback(port);
    if (fd < 0)
        return "";
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    std::string answer;
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

std::string Body(const std::string& answer)
{
    size_t head = answer.find("\r\n\r\n");
    return head == std::string::npos ? "" : answer.substr(head + 4);
}

// Chromium, headless, on `url`, with `args`; its output.
RunResult Chromium(const Installation& inst, const std::vector<std::string>& args, const std::string& url)
{
    std::vector<std::string> argv = {"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--user-data-dir=" + inst.path("chromium")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(url);
    return testutil::Run(argv, {"HOME=" + inst.path("chromium")}, 90000);
}

TEST(StatusPage, DemoPageInTheEndpointAndInChromium)
{
    // Chromium's helpers that outlive it become ours to reap.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Installation inst(Installation::Use::Binary);
    unsigned short endpoint = testutil::FreePort();
    testutil::WriteFile(inst.path("config/tarvelsvc.conf"),
                        "[SERVICE]\nMETRICS_LISTEN=127.0.0.1:" + std::to_string(endpoint) + "\n");
    ASSERT_EQ(inst.Ctl({"-start"}).exitCode, 0) << testutil::ReadFile(inst.log());
    const std::string held = "127.0.0.1:" + std::to_string(inst.port(1));
    ASSERT_EQ(inst.Ctl({"-stopserver", held}).exitCode, 0);

    std::string answer = Get(endpoint, "/");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << answer;
    std::string page = Body(answer);
    EXPECT_NE(page.find("<h2>pool demo &middot; 1 of 2 serving</h2>"), std::string::npos) << page;
    EXPECT_NE(page.find("<td class=\"held\">stopped by operator</td>"), std::string::npos) << page;
    // The same text, once both are taken within one second (the uptimes).
    RunResult json;
    std::string served;
    EXPECT_TRUE(testutil::WaitUntil([&] {
        json = inst.Ctl({"-servers", "-json"});
        served = Body(Get(endpoint, "/servers.json"));
        return served == json.out;
    }, 5000, 300)) << served << "\n" << json.out;
    EXPECT_NE(json.out.find("\"pool\": \"demo\""), std::string::npos) << json.out;
    EXPECT_NE(Get(endpoint, "/index.html").find(" 404 "), std::string::npos);

    if (access("/usr/bin/chromium", X_OK) != 0) {
        inst.Ctl({"-stop"});
        GTEST_SKIP() << "chromium is not installed (scripts/install-deps.sh installs it)";
    }
    const std::string url = "http://127.0.0.1:" + std::to_string(endpoint) + "/";
    RunResult dom = Chromium(inst, {"--dump-dom"}, url);
    EXPECT_EQ(dom.exitCode, 0) << dom.err;
    for (const std::string& text : {std::string("tarvelsvc on "), std::string("pool demo"),
                                    "127.0.0.1:" + std::to_string(inst.port(0)), held,
                                    std::string(">serving</td>"), std::string(">stopped by operator</td>")})
        EXPECT_NE(dom.out.find(text), std::string::npos) << text << "\n" << dom.out;
    const std::string png = inst.path("status-page.png");
    RunResult shot = Chromium(inst, {"--screenshot=" + png, "--window-size=1100,420", "--hide-scrollbars"}, url);
    EXPECT_EQ(shot.exitCode, 0) << shot.err;
    // A blank page of this size compresses to a few KiB; text and coloured
    // cells take far more.
    std::string image = testutil::ReadFile(png);
    EXPECT_EQ(image.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    EXPECT_GT(image.size(), 12000u);
    if (const char* keep = getenv("TARVEL_KEEP_SCREENSHOT"))
        testutil::CopyFile(png, keep);

    EXPECT_EQ(inst.Ctl({"-stop"}).exitCode, 0);
    // The orphans of chromium, if any, end with it; reap them.
    EXPECT_TRUE(testutil::WaitUntil([] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
    }, 10000));
}

}  // namespace
