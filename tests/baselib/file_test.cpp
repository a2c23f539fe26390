// The unbuffered file handle: modes, whole-buffer transfers, line reading.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "baselib/kx_file.h"
#include "common/test_util.h"

namespace {

class FileTest : public ::testing::Test {
protected:
    testutil::TempDir dir;
    std::string path = dir / "data.txt";
};

TEST_F(FileTest, ModesMapToTheirOpenFlags)
{
    testutil::WriteFile(path, "old");
    struct Case {
        const char* mode;
        int access;
        bool truncates;
        bool appends;
    } cases[] = {
        {"r", O_RDONLY, false, false},   {"rb", O_RDONLY, false, false},
        {"br", O_RDONLY, false, false},  {"r+", O_RDWR, false, false},
        {"r+b", O_RDWR, false, false},   {"rb+", O_RDWR, false, false},
        {"a", O_WRONLY, false, true},    {"a+", O_RDWR, false, true},
        {"w+", O_RDWR, true, false},     {"wbbb+", O_WRONLY, true, false},  // only 4 count
        {"w", O_WRONLY, true, false},
    };
    for (const auto& c : cases) {
        testutil::WriteFile(path, "old");
        KXFile* file = nullptr;
        ASSERT_EQ(KXFileOpen(&file, path.c_str(), c.mode), ERROR_NONE) << c.mode;
        int fd = -1;
        ASSERT_EQ(KXFileFileno(file, &fd), ERROR_NONE);
        int flags = fcntl(fd, F_GETFL);
        EXPECT_EQ(flags & O_ACCMODE, c.access) << c.mode;
        EXPECT_EQ((flags & O_APPEND) != 0, c.appends) << c.mode;
        EXPECT_EQ(KXFileClose(&file), ERROR_NONE);
        EXPECT_EQ(file, nullptr);
        EXPECT_EQ(testutil::ReadFile(path).empty(), c.truncates) << c.mode;
    }

    for (const char* bad : {"", "x", "w+x", "rw", "bbbb", "r++"}) {
        KXFile* file = nullptr;
        EXPECT_EQ(KXFileOpen(&file, path.c_str(), bad), ERROR_PARAMETER) << bad;
        EXPECT_EQ(file, nullptr);
    }
    KXFile* file = nullptr;
    EXPECT_EQ(KXFileOpen(&file, nullptr, "r"), ERROR_PARAMETER);
    EXPECT_EQ(KXFileOpen(&file, path.c_str(), nullptr), ERROR_PARAMETER);
    KXFile* taken = KXFileStdin;
    EXPECT_EQ(KXFileOpen(&taken, path.c_str(), "r"), ERROR_PARAMETER);
}

TEST_F(FileTest, MissingFileFailsForReadingAndIsCreatedForAppending)
{
    std::string missing = dir / "missing.txt";
    KXFile* file = nullptr;
    EXPECT_EQ(KXFileOpen(&file, missing.c_str(), "r"), ERROR_FILE_IO);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(errno, ENOENT);  // kept for the caller's message

    mode_t old = umask(022);
    ASSERT_EQ(KXFileOpen(&file, missing.c_str(), "a"), ERROR_NONE);
    umask(old);
    KXFileClose(&file);
    struct stat st;
    ASSERT_EQ(stat(missing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // 0666 less the umask
}

TEST_F(FileTest, WritesPrintfAndAppendsReachTheFile)
{
    KXFile* file = nullptr;
    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "w"), ERROR_NONE);
    unsigned length = 3;
    EXPECT_EQ(KXFileWrite(file, "abcdef", &length), ERROR_NONE);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(KXFilePrintf(file, "-%d-%s", 42, "x"), ERROR_NONE);
    std::string big(20000, 'b');
    EXPECT_EQ(KXFilePrintf(file, "%s", big.c_str()), ERROR_NONE);
    KXFileClose(&file);
    EXPECT_EQ(testutil::ReadFile(path), "abc-42-x" + big);

    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "a"), ERROR_NONE);
    EXPECT_EQ(KXFilePrintf(file, "!"), ERROR_NONE);
    KXFileClose(&file);
    EXPECT_EQ(testutil::ReadFile(path).back(), '!');

    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "r"), ERROR_NONE);
    length = 1;
    EXPECT_EQ(KXFileWrite(file, "z", &length), ERROR_FILE_IO);  // read-only descriptor
    EXPECT_EQ(length, 0u);
    KXFileClose(&file);
}

TEST_F(FileTest, ReadReportsEndOfFileWithTheCountRead)
{
    testutil::WriteFile(path, std::string(40, 'r'));
    KXFile* file = nullptr;
    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "r"), ERROR_NONE);
    char buffer[100];
    unsigned length = 100;
    EXPECT_EQ(KXFileRead(file, buffer, &length), ERROR_FILE_EOF);
    EXPECT_EQ(length, 40u);
    length = 0;
    EXPECT_EQ(KXFileRead(file, buffer, &length), ERROR_NONE);
    EXPECT_EQ(length, 0u);
    KXFileClose(&file);
}

TEST_F(FileTest, ReadCollectsShortReadsFromAPipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    KXFile reader{fds[0]};
    std::thread writer([&] {
        for (int i = 0; i < 5; i++) {
            ASSERT_EQ(write(fds[1], "0123456789", 10), 10);
            usleep(20000);
        }
    });
    char buffer[50];
    unsigned length = 50;
    EXPECT_EQ(KXFileRead(&reader, buffer, &length), ERROR_NONE);
    EXPECT_EQ(length, 50u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(std::string(buffer + 40, 10), "0123456789");
    writer.join();
    close(fds[0]);
    close(fds[1]);
}

TEST_F(FileTest, ReadlineDropsCarriageReturnsAndSplitsLongLines)
{
    testutil::WriteFile(path, "ab\rcd\nef");
    KXFile* file = nullptr;
    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "r"), ERROR_NONE);
    char line[32];
    EXPECT_EQ(KXFileReadline(file, line, sizeof(line)), ERROR_NONE);
    EXPECT_STREQ(line, "abcd");
    EXPECT_EQ(KXFileReadline(file, line, sizeof(line)), ERROR_FILE_EOF);
    EXPECT_STREQ(line, "ef");
    EXPECT_EQ(KXFileReadline(file, line, sizeof(line)), ERROR_FILE_EOF);
    EXPECT_STREQ(line, "");
    KXFileClose(&file);

    testutil::WriteFile(path, "0123456789\n\r\nlast\n");
    ASSERT_EQ(KXFileOpen(&file, path.c_str(), "r"), ERROR_NONE);
    char small[5];
    // A line of exactly size - 1 characters leaves its line feed for the
    // next call, which then sees an empty line.
    const char* expected[] = {"0123", "4567", "89", "", "last", ""};
    for (const char* e : expected) {
        memset(small, 'x', sizeof(small));
        EXPECT_EQ(KXFileReadline(file, small, sizeof(small)), ERROR_NONE) << e;
        EXPECT_STREQ(small, e);
    }
    EXPECT_EQ(KXFileReadline(file, small, sizeof(small)), ERROR_FILE_EOF);
    EXPECT_EQ(KXFileReadline(file, small, 0), ERROR_PARAMETER);
    EXPECT_EQ(KXFileReadline(nullptr, small, sizeof(small)), ERROR_PARAMETER);
    KXFileClose(&file);
}

}  // namespace
