// Opening a regular file without waiting, and the bounded line reader: lines
// that span read chunks, overlong lines consumed whole, NUL bytes and the
// last line without a line feed.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "baselib/kx_linereader.h"
#include "baselib/kx_regularfile.h"
#include "common/test_util.h"

namespace {

TEST(RegularFile, OnlyARegularFileOpensAndItsDescriptorBlocksAndClosesOnExec)
{
    testutil::TempDir dir;
    const std::string file = dir / "file";
    const std::string fifo = dir / "fifo";
    testutil::WriteFile(file, "x\n");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    int fd = -1;
    ASSERT_EQ(KXOpenRegularFile(file.c_str(), &fd), ERROR_NONE);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(close(fd), 0);

    // No writer on the FIFO: a blocking open would never return.
    fd = -1;
    errno = 0;
    EXPECT_EQ(KXOpenRegularFile(fifo.c_str(), &fd), ERROR_FILE_TYPE);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(KXOpenRegularFile(dir.path().c_str(), &fd), ERROR_FILE_TYPE);
    EXPECT_EQ(KXOpenRegularFile("/dev/null", &fd), ERROR_FILE_TYPE);
    EXPECT_EQ(KXOpenRegularFile((dir / "absent").c_str(), &fd), ERROR_FILE_OPEN);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(KXOpenRegularFile(nullptr, &fd), ERROR_PARAMETER);
    EXPECT_EQ(fd, -1);
}

TEST(LineReader, LinesAreWholeOrReportedTooLong)
{
    testutil::TempDir dir;
    const std::string path = dir / "lines";
    const std::string spanning(5000, 's');  // longer than one read chunk
    testutil::WriteFile(path, "a\r\n\n" + spanning + "\n" + std::string(20, 'L') + "\nn" +
                                  std::string(1, '\0') + "ul\nlast");
    int fd = -1;
    ASSERT_EQ(KXOpenRegularFile(path.c_str(), &fd), ERROR_NONE);
    KXLineReader reader;
    KXLineReaderInit(&reader, fd);
    char buffer[8000];
    KXLineInfo info;

    ASSERT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_NONE);
    EXPECT_STREQ(buffer, "a");  // the carriage return dropped
    EXPECT_EQ(info.length, 1u);
    ASSERT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_NONE);
    EXPECT_STREQ(buffer, "");
    ASSERT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_NONE);
    EXPECT_EQ(std::string(buffer), spanning);
    EXPECT_FALSE(info.tooLong);

    // 20 bytes in a buffer of 10: 9 kept, the rest consumed, not handed out.
    ASSERT_EQ(KXLineReaderNext(&reader, buffer, 10, &info), ERROR_NONE);
    EXPECT_TRUE(info.tooLong);
    EXPECT_STREQ(buffer, "LLLLLLLLL");
    ASSERT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_NONE);
    EXPECT_TRUE(info.hasNul);
    EXPECT_EQ(info.length, 4u);
    EXPECT_EQ(std::string(buffer, info.length), std::string("n\0ul", 4));
    ASSERT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_NONE);
    EXPECT_STREQ(buffer, "last");
    EXPECT_FALSE(info.tooLong || info.hasNul);
    EXPECT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_FILE_EOF);
    EXPECT_EQ(KXLineReaderNext(&reader, buffer, sizeof buffer, &info), ERROR_FILE_EOF);
    EXPECT_EQ(KXLineReaderNext(&reader, buffer, 0, &info), ERROR_PARAMETER);
    close(fd);
}

}  // namespace
