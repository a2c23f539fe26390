// The log core: line format and cut, destinations and the fallback note,
// permissions, repeat suppression, concurrent writers, signal-safe lines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "baselib/kx_file.h"
#include "baselib/kx_log.h"
#include "common/test_util.h"

namespace {

std::string HostName()
{
    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    return host;
}

// Splits "<time> <rest>" where the time reads "%Y-%m-%d %H:%M:%S".
bool SplitStamp(const std::string& line, std::string* stamp, std::string* rest)
{
    static const char shape[] = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < sizeof(shape) - 1)
        return false;
    for (size_t i = 0; i < sizeof(shape) - 1; i++) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    *stamp = line.substr(0, 19);
    *rest = line.substr(20);
    return true;
}

// "(<host>) [<pid>] ": what follows the time stamp in a line of this process.
std::string Origin(pid_t pid)
{
    return "(" + HostName() + ") [" + std::to_string(pid) + "] ";
}

// The line without its time stamp, or "" if it has none.
std::string AfterStamp(const std::string& line)
{
    std::string stamp, rest;
    return SplitStamp(line, &stamp, &rest) ? rest : "";
}

time_t ParseStamp(const std::string& stamp)
{
    struct tm tm = {};
    tm.tm_isdst = -1;
    if (strptime(stamp.c_str(), "%Y-%m-%d %H:%M:%S", &tm) == nullptr)
        return 0;
    return mktime(&tm);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(KXLogNew(&log), 0);
        ASSERT_NE(log, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(KXLogFree(&log), 0);
        EXPECT_EQ(log, nullptr);
    }
    void UseFile() { ASSERT_EQ(KXLogSetOutputFile(log, path.c_str()), 0); }
    std::vector<std::string> Lines() { return testutil::ReadLines(path); }

    testutil::TempDir dir;
    std::string path = dir / "test.log";
    KXLog* log = nullptr;
};

TEST_F(LogTest, LineCarriesLocalTimeHostAndPid)
{
    UseFile();
    time_t before = time(nullptr);
    EXPECT_EQ(KXLogWrite(log, "hello %d %s", 42, "world"), 0);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    std::string stamp, rest;
    ASSERT_TRUE(SplitStamp(lines[0], &stamp, &rest)) << lines[0];
    EXPECT_EQ(rest, Origin(getpid()) + "hello 42 world");
    time_t stamped = ParseStamp(stamp);
    EXPECT_GE(stamped, before - 1);
    EXPECT_LE(stamped, time(nullptr) + 1);
    EXPECT_EQ(testutil::ReadFile(path).back(), '\n');
}

TEST_F(LogTest, LongLinesAreCutTo8190CharactersAndANewline)
{
    UseFile();
    KXLogWrite(log, "x");
    size_t prefix = testutil::ReadFile(path).size() - 2;  // without "x\n"
    ASSERT_GT(prefix, 20u);

    for (size_t length : {8190 - prefix, 8191 - prefix, size_t{10000}}) {
        unlink(path.c_str());
        std::string message(length, 'm');
        message[0] = 'A';
        EXPECT_EQ(KXLogWrite(log, "%s", message.c_str()), 0);
        std::string content = testutil::ReadFile(path);
        size_t expected = std::min<size_t>(prefix + length, 8190);
        ASSERT_EQ(content.size(), expected + 1) << length;
        EXPECT_EQ(content.back(), '\n');
        EXPECT_EQ(content[prefix], 'A');
        EXPECT_EQ(content.find('\n'), expected);
    }
}

TEST_F(LogTest, UnopenableFileIsNotedOnTheFallbackBeforeEachLine)
{
    std::string missing = dir / "no-such-dir/test.log";
    std::string fallbackPath = dir / "fallback.log";
    KXFile* fallback = nullptr;
    ASSERT_EQ(KXFileOpen(&fallback, fallbackPath.c_str(), "a"), ERROR_NONE);
    ASSERT_EQ(KXLogSetOutputFile(log, missing.c_str()), 0);
    ASSERT_EQ(KXLogSetFallbackFilehandle(log, fallback), 0);

    EXPECT_EQ(KXLogWrite(log, "first"), 0);
    EXPECT_EQ(KXLogWrite(log, "second"), 0);
    auto lines = testutil::ReadLines(fallbackPath);
    ASSERT_EQ(lines.size(), 4u);
    std::string note = "(" + HostName() + ") KXLogWrite(): error opening file " + missing +
                       " (No such file or directory)";
    EXPECT_EQ(AfterStamp(lines[0]), note);
    EXPECT_EQ(AfterStamp(lines[1]), Origin(getpid()) + "first");
    EXPECT_EQ(AfterStamp(lines[2]), note);
    EXPECT_EQ(AfterStamp(lines[3]), Origin(getpid()) + "second");
    KXFileClose(&fallback);
}

TEST_F(LogTest, WithoutAnyDestinationTheLineIsLost)
{
    EXPECT_EQ(KXLogWrite(log, "nowhere"), 0);
    ASSERT_EQ(KXLogSetOutputFile(log, (dir / "missing/x.log").c_str()), 0);
    EXPECT_EQ(KXLogWrite(log, "lost"), 0);
    EXPECT_EQ(KXLogWrite(nullptr, "no log"), 0);
}

TEST_F(LogTest, FileIsReopenedPerLineWithGroupPermissions)
{
    UseFile();
    for (mode_t mask : {mode_t{077}, mode_t{0}, mode_t{022}}) {
        unlink(path.c_str());
        mode_t old = umask(mask);
        KXLogWrite(log, "line");
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u) << "umask " << mask;
    }
    // A file the log did not create keeps the mode its owner gave it.
    chmod(path.c_str(), 0600);
    KXLogWrite(log, "again");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Rotated away: the next line starts a new file, the old one keeps its lines.
    std::string rotated = dir / "test.log.1";
    ASSERT_EQ(rename(path.c_str(), rotated.c_str()), 0);
    KXLogWrite(log, "after rotation");
    EXPECT_EQ(Lines().size(), 1u);
    EXPECT_EQ(testutil::ReadLines(rotated).size(), 2u);
}

// A log path that is a symbolic link is never followed, by ordinary and by
// signal-safe lines: the target (existing or missing) is neither written,
// created nor changed in mode, and each line goes to the fallback after a
// note naming the refusal.
TEST_F(LogTest, SymlinkedLogIsRefusedAndFallsBack)
{
    std::string target = dir / "target";
    testutil::WriteFile(target, "precious\n");
    ASSERT_EQ(chmod(target.c_str(), 0604), 0);
    std::string missingTarget = dir / "created-through-link";
    std::string fallbackPath = dir / "fallback.log";
    KXFile* fallback = nullptr;
    ASSERT_EQ(KXFileOpen(&fallback, fallbackPath.c_str(), "a"), ERROR_NONE);
    ASSERT_EQ(KXLogSetFallbackFilehandle(log, fallback), 0);
    UseFile();

    std::string note = "(" + HostName() + ") KXLogWrite(): error opening file " + path +
                       " (refused: it is a symbolic link)";
    for (const std::string& aim : {target, missingTarget}) {
        unlink(path.c_str());
        ASSERT_EQ(symlink(aim.c_str(), path.c_str()), 0);
        ASSERT_EQ(truncate(fallbackPath.c_str(), 0), 0);
        EXPECT_EQ(KXLogWrite(log, "ordinary %d", 1), 0);
        KXLogWriteSignalSafe(log, "signal-safe");
        auto lines = testutil::ReadLines(fallbackPath);
        ASSERT_EQ(lines.size(), 4u) << aim;
        EXPECT_EQ(AfterStamp(lines[0]), note);
        EXPECT_EQ(AfterStamp(lines[1]), Origin(getpid()) + "ordinary 1");
        EXPECT_EQ(AfterStamp(lines[2]), note);
        EXPECT_EQ(AfterStamp(lines[3]), Origin(getpid()) + "signal-safe");
    }
    EXPECT_EQ(testutil::ReadFile(target), "precious\n");
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(access(missingTarget.c_str(), F_OK), -1);

    // Once the link is gone the log creates its own file again.
    unlink(path.c_str());
    KXLogWriteSignalSafe(log, "back");
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(Lines().size(), 1u);
    KXFileClose(&fallback);
}

TEST_F(LogTest, OutputHandleAndPathReplaceEachOther)
{
    std::string handlePath = dir / "handle.log";
    KXFile* handle = nullptr;
    ASSERT_EQ(KXFileOpen(&handle, handlePath.c_str(), "w"), ERROR_NONE);
    UseFile();
    ASSERT_EQ(KXLogSetOutputFilehandle(log, handle), 0);
    KXLogWrite(log, "to handle");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);  // the path was dropped
    EXPECT_EQ(testutil::CountLinesContaining(handlePath, "] to handle"), 1);

    UseFile();
    KXLogWrite(log, "to path");
    EXPECT_EQ(testutil::CountLinesContaining(path, "] to path"), 1);
    EXPECT_EQ(testutil::CountLinesContaining(handlePath, "] to path"), 0);
    // The log never closes a handle it was given.
    int fd = -1;
    KXFileFileno(handle, &fd);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    KXFileClose(&handle);
}

TEST_F(LogTest, RepeatedKeysAreSummarisedWhenAnotherKeyArrives)
{
    UseFile();
    EXPECT_EQ(KXLogWriteLimited(log, "A", "text of A", "A happened %d", 1), 0);
    EXPECT_EQ(KXLogWriteLimited(log, "A", "text of A", "A happened %d", 2), 0);
    EXPECT_EQ(KXLogWriteLimited(log, "A", "other text", "a different message"), 0);
    EXPECT_EQ(Lines().size(), 1u);
    EXPECT_EQ(KXLogWriteLimited(log, "B", "text of B", "B happened"), 0);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    std::string origin = Origin(getpid());
    EXPECT_EQ(AfterStamp(lines[0]), origin + "A happened 1");
    EXPECT_EQ(AfterStamp(lines[1]), origin + "text of A - repeated 3 times");
    EXPECT_EQ(AfterStamp(lines[2]), origin + "B happened");

    // A key logged once and not repeated leaves no summary.
    EXPECT_EQ(KXLogWriteLimited(log, "C", "text of C", "C happened"), 0);
    lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find("] C happened"), std::string::npos);
}

TEST_F(LogTest, FirstEmptyKeyIsSuppressedAndLongKeysStillRepeat)
{
    UseFile();
    EXPECT_EQ(KXLogWriteLimited(log, "", "empty", "empty key"), 0);
    EXPECT_EQ(Lines().size(), 0u);

    std::string longKey(300, 'k');
    KXLogWriteLimited(log, longKey.c_str(), "long", "long key");
    KXLogWriteLimited(log, longKey.c_str(), "long", "long key");
    EXPECT_EQ(testutil::CountLinesContaining(path, "] long key"), 1);
}

TEST_F(LogTest, ArgumentErrorsAreLoggedToTheSameLog)
{
    UseFile();
    const char* none = nullptr;
    EXPECT_EQ(KXLogWrite(log, none), -1);
    EXPECT_EQ(KXLogWriteLimited(log, "key", "text", none), -1);
    EXPECT_EQ(KXLogWriteLimited(log, "key", "text", "after a failed call"), 0);
    EXPECT_EQ(KXLogSetFallbackFilehandle(log, nullptr), -1);
    EXPECT_EQ(KXLogSetOutputFilehandle(log, nullptr), -1);
    EXPECT_EQ(KXLogSetOutputFile(log, nullptr), -1);  // the path is still set
    EXPECT_EQ(KXLogSetFallbackFilehandle(nullptr, KXFileStderr), 0);
    EXPECT_EQ(KXLogWriteLimited(nullptr, "k", "t", "x"), 0);

    const char* expected[] = {
        "] KXLogWrite(): wrong arguments passed to procedure",
        "] KXLogWriteLimited(): wrong arguments passed to procedure",
        "] after a failed call",
        "] KXLogSetFallbackFilehandle(): wrong arguments passed to procedure",
        "] KXLogSetOutputFilehandle(): wrong arguments passed to procedure",
        "] KXLogSetOutputFile(): wrong arguments passed to procedure",
    };
    auto lines = Lines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];

    KXLog* other = log;
    EXPECT_EQ(KXLogNew(&other), -1);
    EXPECT_EQ(KXLogNew(nullptr), -1);
    EXPECT_EQ(KXLogFree(nullptr), -1);
}

// Writers in two processes with several threads each: every line must come
// out whole, whatever its length.
void WriteTaggedLines(KXLog* log, int writer, int count)
{
    for (int i = 0; i < count; i++) {
        size_t length = 1 + (static_cast<size_t>(i) * 997 + writer * 131) % 6000;
        std::string payload(length, static_cast<char>('a' + writer));
        KXLogWrite(log, "W%d N%d %s END", writer, i, payload.c_str());
    }
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveWithinALine)
{
    UseFile();
    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back(WriteTaggedLines, log, kThreads + t, kLines);
        for (auto& t : threads)
            t.join();
        _exit(0);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(WriteTaggedLines, log, t, kLines);
    for (auto& t : threads)
        t.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::map<std::pair<int, int>, int> seen;
    auto lines = Lines();
    EXPECT_EQ(lines.size(), 2u * kThreads * kLines);
    for (const auto& text : lines) {
        std::string rest = AfterStamp(text);
        int writer = -1, number = -1, consumed = 0;
        long pid = 0;
        size_t open = rest.find(") [");
        ASSERT_NE(open, std::string::npos) << text.substr(0, 200);
        ASSERT_EQ(sscanf(rest.c_str() + open, ") [%ld] W%d N%d %n", &pid, &writer, &number,
                         &consumed),
                  3)
            << text.substr(0, 200);
        ASSERT_TRUE(writer >= 0 && writer < 2 * kThreads);
        EXPECT_EQ(pid, writer < kThreads ? getpid() : child);
        std::string payload = rest.substr(open + consumed);
        ASSERT_GE(payload.size(), 4u);
        EXPECT_EQ(payload.substr(payload.size() - 4), " END");
        payload.resize(payload.size() - 4);
        EXPECT_EQ(payload.size(), 1 + (static_cast<size_t>(number) * 997 + writer * 131) % 6000);
        EXPECT_EQ(payload.find_first_not_of(static_cast<char>('a' + writer)), std::string::npos);
        seen[{writer, number}]++;
    }
    EXPECT_EQ(seen.size(), 2u * kThreads * kLines);
}

// The signal-safe writer computes local time by hand from the UTC offset.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) : mTZ("TZ", zone) { tzset(); }

private:
    // Members end in reverse order: TZ is restored first, then re-read.
    struct Reread {
        ~Reread() { tzset(); }
    } mReread;
    testutil::ScopedEnv mTZ;
};

KXLog* gSignalLog = nullptr;

void LogFromHandler(int)
{
    KXLogWriteSignalSafe(gSignalLog, "caught in handler");
}

TEST(LogSignalSafe, WritesTheSameLineFormatWithTheLocalTime)
{
    for (const char* zone : {"UTC0", "TST-5:30", "WST+11"}) {
        ScopedTimeZone tz(zone);
        testutil::TempDir dir;
        std::string path = dir / "signal.log";
        KXLog* log = nullptr;
        ASSERT_EQ(KXLogNew(&log), 0);
        ASSERT_EQ(KXLogSetOutputFile(log, path.c_str()), 0);
        KXLogWrite(log, "ordinary");
        mode_t old = umask(077);
        unlink(path.c_str());
        KXLogWriteSignalSafe(log, "safe");
        umask(old);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0660u);
        KXLogWrite(log, "ordinary");

        gSignalLog = log;
        struct sigaction action = {}, previous = {};
        action.sa_handler = LogFromHandler;
        sigaction(SIGUSR1, &action, &previous);
        raise(SIGUSR1);
        sigaction(SIGUSR1, &previous, nullptr);

        auto lines = testutil::ReadLines(path);
        ASSERT_EQ(lines.size(), 3u) << zone;
        std::string origin = Origin(getpid());
        std::string safeStamp, ordinaryStamp, rest;
        ASSERT_TRUE(SplitStamp(lines[0], &safeStamp, &rest)) << lines[0];
        EXPECT_EQ(rest, origin + "safe");
        ASSERT_TRUE(SplitStamp(lines[1], &ordinaryStamp, &rest)) << lines[1];
        EXPECT_EQ(rest, origin + "ordinary");
        EXPECT_EQ(AfterStamp(lines[2]), origin + "caught in handler");
        EXPECT_LE(std::labs(ParseStamp(safeStamp) - ParseStamp(ordinaryStamp)), 2) << zone;
        KXLogFree(&log);
    }
}

TEST(LogSignalSafe, CutsLongMessagesAndFallsBackWhenTheFileCannotBeOpened)
{
    testutil::TempDir dir;
    std::string fallbackPath = dir / "fallback.log";
    KXFile* fallback = nullptr;
    ASSERT_EQ(KXFileOpen(&fallback, fallbackPath.c_str(), "w"), ERROR_NONE);
    KXLog* log = nullptr;
    ASSERT_EQ(KXLogNew(&log), 0);
    ASSERT_EQ(KXLogSetOutputFile(log, (dir / "missing/x.log").c_str()), 0);
    ASSERT_EQ(KXLogSetFallbackFilehandle(log, fallback), 0);
    std::string message(10000, 's');
    KXLogWriteSignalSafe(log, message.c_str());
    std::string content = testutil::ReadFile(fallbackPath);
    EXPECT_EQ(content.size(), 8191u);
    EXPECT_EQ(content.find('\n'), 8190u);
    KXLogWriteSignalSafe(nullptr, "ignored");
    KXLogFree(&log);
    KXFileClose(&fallback);
}

}  // namespace
