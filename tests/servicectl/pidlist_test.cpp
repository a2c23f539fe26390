#include "servicectl/SharedPIDList.h"

#include "common/service_copy.h"
#include "common/test_util.h"
#include "foundation/Exceptions.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

// Each test keys its own list by a file of its own, and sees the segment
// through a second, raw attachment as another process would.
class PIDListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testutil::WriteFile(mKeyFile, "key");
        mKey = SharedPIDList::keyFor(mKeyFile);
        ASSERT_NE(mKey, -1);
        RemoveSegment();
    }
    void TearDown() override { RemoveSegment(); }

    void RemoveSegment()
    {
        int id = shmget(mKey, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }

    // The segment as raw bytes, attached separately; null if none exists.
    unsigned char* Raw()
    {
        int id = shmget(mKey, 0, 0);
        if (id < 0)
            return nullptr;
        void* address = shmat(id, nullptr, 0);
        EXPECT_NE(address, reinterpret_cast<void*>(-1));
        mAttached.push_back(address);
        return static_cast<unsigned char*>(address);
    }

    void TearDownAttachments()
    {
        for (void* a : mAttached)
            shmdt(a);
        mAttached.clear();
    }
    ~PIDListTest() override { TearDownAttachments(); }

    testutil::TempDir mDir;
    std::string mKeyFile = mDir / "exe";
    key_t mKey = -1;
    std::vector<void*> mAttached;
};

int32_t PidAt(const unsigned char* raw, int slot)
{
    int32_t pid;
    memcpy(&pid, raw + 36 * slot, 4);
    return pid;
}

std::string NameAt(const unsigned char* raw, int slot)
{
    return std::string(reinterpret_cast<const char*>(raw + 36 * slot + 4), 32);
}

TEST_F(PIDListTest, NewSegmentIs1152ZeroBytesWritableOnlyByItsOwner)
{
    SharedPIDList list(mKeyFile);
    int id = shmget(mKey, 0, 0);
    ASSERT_GE(id, 0);
    struct shmid_ds info;
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, 1152u);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0644u);
    const unsigned char* raw = Raw();
    ASSERT_NE(raw, nullptr);
    for (int i = 0; i < 1152; ++i)
        ASSERT_EQ(raw[i], 0) << "byte " << i;
    EXPECT_TRUE(list.getEntries().empty());
}

TEST_F(PIDListTest, EntriesAre36BytesPidThenName)
{
    SharedPIDList list(mKeyFile);
    list.add(1234, "first");
    list.add(-7, "second");
    const unsigned char* raw = Raw();
    EXPECT_EQ(PidAt(raw, 0), 1234);
    EXPECT_EQ(NameAt(raw, 0), std::string("first") + std::string(27, '\0'));
    EXPECT_EQ(PidAt(raw, 1), -7);
    EXPECT_EQ(NameAt(raw, 1), std::string("second") + std::string(26, '\0'));
    EXPECT_EQ(PidAt(raw, 2), 0);

    auto entries = list.getEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].pid, 1234);
    EXPECT_EQ(entries[0].name(), "first");
    EXPECT_EQ(entries[1].name(), "second");
}

TEST_F(PIDListTest, AddClearsAnOldNameAndCutsLongNamesTo31Bytes)
{
    SharedPIDList list(mKeyFile);
    unsigned char* raw = Raw();
    memset(raw + 4, 'z', 32);  // a freed slot keeps its old name
    list.add(5, std::string(40, 'n'));
    EXPECT_EQ(NameAt(raw, 0), std::string(31, 'n') + std::string(1, '\0'));
    list.add(6, "ab");
    EXPECT_EQ(NameAt(raw, 1), std::string("ab") + std::string(30, '\0'));
    EXPECT_FALSE(list.getEntry(0).hasName(std::string(40, 'n')));
    EXPECT_TRUE(list.getEntry(0).hasName(std::string(31, 'n')));
}

TEST_F(PIDListTest, ThirtyThirdAddRunsOutOfSpace)
{
    SharedPIDList list(mKeyFile);
    for (int i = 1; i <= 32; ++i)
        list.add(i, "svc");
    try {
        list.add(33, "svc");
        FAIL() << "no exception";
    } catch (const CServiceException& e) {
        EXPECT_STREQ(e.what(), "SharedPIDList::add(): Ran out of PID space");
        EXPECT_EQ(e.getCode(), 0);
    }
    // The first free slot is taken again after a removal.
    list.remove(17);
    list.add(99, "svc");
    EXPECT_EQ(list.getEntry(16).pid, 99);
}

TEST_F(PIDListTest, RemoveFreesEverySlotOfThePid)
{
    SharedPIDList list(mKeyFile);
    list.add(10, "a");
    list.add(11, "b");
    list.add(10, "c");
    list.remove(10);
    auto entries = list.getEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].pid, 11);
    EXPECT_EQ(entries[0].name(), "b");
    const unsigned char* raw = Raw();
    EXPECT_EQ(PidAt(raw, 0), 0);
    EXPECT_EQ(NameAt(raw, 0).substr(0, 2), std::string("a\0", 2));  // the name stays
}

TEST_F(PIDListTest, RemovingTheLastEntryRemovesTheSegment)
{
    {
        SharedPIDList list(mKeyFile);
        list.add(10, "a");
        list.remove(10);
        EXPECT_EQ(shmget(mKey, 0, 0), -1);  // no longer found by its key
        EXPECT_TRUE(list.getEntries().empty());
    }
    SharedPIDList fresh(mKeyFile);
    EXPECT_TRUE(fresh.getEntries().empty());
    fresh.add(1, "x");
    EXPECT_EQ(fresh.getEntry(0).pid, 1);
}

TEST_F(PIDListTest, NameWithoutTerminatorIsReadAs32Bytes)
{
    SharedPIDList list(mKeyFile);
    unsigned char* raw = Raw();
    int32_t pid = 77, next = 0x41414141;  // "AAAA" right after the name
    memcpy(raw, &pid, 4);
    memset(raw + 4, 'x', 32);
    memcpy(raw + 36, &next, 4);
    auto entries = list.getEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name(), std::string(32, 'x'));
    EXPECT_TRUE(entries[0].hasName(std::string(32, 'x')));
}

TEST_F(PIDListTest, OwnPathAndMissingDirectory)
{
    char own[4096];
    ssize_t length = readlink("/proc/self/exe", own, sizeof own);
    ASSERT_GT(length, 0);
    EXPECT_EQ(SharedPIDList::getFilePath(), std::string(own, static_cast<size_t>(length)));
    try {
        SharedPIDList list(mDir / "missing/exe");
        FAIL() << "no exception";
    } catch (const CServiceException& e) {
        EXPECT_STREQ(e.what(), "SharedPIDList::SharedPIDList(): Could not create an IPC key");
    }
}

// The key belongs to the path: a new file renamed into place (an upgrade)
// and the " (deleted)" name of the old one find the same list; another name
// or another directory do not. Only an explicit Create makes a segment.
TEST_F(PIDListTest, KeyStaysWithThePathAcrossReplacement)
{
    {
        SharedPIDList readOnly(mKeyFile, SharedPIDList::Access::ReadOnly);
        SharedPIDList existing(mKeyFile, SharedPIDList::Access::Existing);
        EXPECT_TRUE(readOnly.getEntries().empty());
        existing.remove(1);
        EXPECT_EQ(shmget(mKey, 0, 0), -1);
    }
    SharedPIDList list(mKeyFile);
    list.add(4242, "kept");
    struct stat before, after;
    ASSERT_EQ(stat(mKeyFile.c_str(), &before), 0);
    testutil::WriteFile(mDir / "exe.new", "new");
    ASSERT_EQ(rename((mDir / "exe.new").c_str(), mKeyFile.c_str()), 0);
    ASSERT_EQ(stat(mKeyFile.c_str(), &after), 0);
    ASSERT_NE(before.st_ino, after.st_ino);

    EXPECT_EQ(SharedPIDList::keyFor(mKeyFile), mKey);
    EXPECT_EQ(testutil::PIDListKey(mKeyFile), mKey);  // as earlier versions derived it
    EXPECT_EQ(SharedPIDList::keyFor(mKeyFile + " (deleted)"), mKey);
    SharedPIDList reader(mKeyFile, SharedPIDList::Access::ReadOnly);
    ASSERT_EQ(reader.getEntries().size(), 1u);
    EXPECT_EQ(reader.getEntries()[0].pid, 4242);
    reader.remove(4242);  // read only: nothing changes
    EXPECT_EQ(list.getEntries().size(), 1u);

    testutil::TempDir otherDir;
    EXPECT_NE(SharedPIDList::keyFor(otherDir / "exe"), mKey);
    EXPECT_NE(SharedPIDList::keyFor(mDir / "exe2"), mKey);
    EXPECT_NE(SharedPIDList::keyFor(mDir / "ex"), mKey);
}

// Opens the list of `keyFile` in a child running as `uid`; returns the
// exception text, or "entries: <n>".
std::string OpenAs(uid_t uid, const std::string& keyFile, SharedPIDList::Access access)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string result;
        if (setgid(65534) != 0 || setuid(uid) != 0) {
            result = "setuid failed";
        } else {
            try {
                SharedPIDList list(keyFile, access);
                result = "entries: " + std::to_string(list.getEntries().size());
            } catch (const std::exception& e) {
                result = e.what();
            }
        }
        ssize_t written = write(fds[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return text;
}

std::string KeyText(key_t key)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(key));
    return text;
}

// A segment of the wrong size under our key is refused with its key, owner
// and the way out, whatever the access.
TEST_F(PIDListTest, SegmentTooSmallCannotBeAccessed)
{
    int id = shmget(mKey, 100, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(id, 0);
    std::string message = "SharedPIDList::SharedPIDList(): shared memory segment with key " +
                          KeyText(mKey) + " (id " + std::to_string(id) +
                          ", owner user root (uid 0)) has 100 bytes instead of 1152; if no "
                          "daemon uses it, remove it with ipcrm -m " + std::to_string(id);
    if (geteuid() != 0)
        message.replace(message.find("user root (uid 0)"), 17, "uid " + std::to_string(geteuid()));
    for (auto access : {SharedPIDList::Access::Create, SharedPIDList::Access::Existing,
                        SharedPIDList::Access::ReadOnly}) {
        try {
            SharedPIDList list(mKeyFile, access);
            FAIL() << "no exception";
        } catch (const CServiceException& e) {
            EXPECT_EQ(e.what(), message);
            EXPECT_EQ(e.getCode(), 0);
        }
    }
}

// For anyone but root, a segment owned by neither root nor the caller is
// refused with its key, owner and the way out.
TEST_F(PIDListTest, ForeignOwnedSegmentIsRefusedUnlessRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the owner checks need root to act as other users";
    {
        SharedPIDList list(mKeyFile);
        list.add(7, "svc");
    }
    // Owned by root: another user may read it.
    EXPECT_EQ(OpenAs(65534, mKeyFile, SharedPIDList::Access::ReadOnly), "entries: 1");
    int id = shmget(mKey, 0, 0);
    struct shmid_ds info;
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    info.shm_perm.uid = 54321;
    std::string refusal = "SharedPIDList::SharedPIDList(): shared memory segment with key " +
                          KeyText(mKey) + " (id " + std::to_string(id) +
                          ") is owned by uid 54321, neither root nor the caller; if no daemon "
                          "uses it, remove it with ipcrm -m " + std::to_string(id);
    // Also when its mode keeps the caller from reading it.
    for (unsigned short mode : {0644, 0600}) {
        info.shm_perm.mode = mode;
        ASSERT_EQ(shmctl(id, IPC_SET, &info), 0);
        EXPECT_EQ(OpenAs(65534, mKeyFile, SharedPIDList::Access::ReadOnly), refusal) << mode;
    }
    EXPECT_EQ(OpenAs(54321, mKeyFile, SharedPIDList::Access::ReadOnly), "entries: 1");
    // Root may use the list that the service's own user made.
    SharedPIDList asRoot(mKeyFile, SharedPIDList::Access::Existing);
    EXPECT_EQ(asRoot.getEntries().size(), 1u);
}

}  // namespace

namespace {

// Another user who may not map root's list learns why and whose it is,
// for writing (-stop) as for reading (-status on a list closed to others).
TEST_F(PIDListTest, MapRefusalNamesTheReasonAndTheOwner)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    {
        SharedPIDList list(mKeyFile);
        list.add(7, "svc");
    }
    int id = shmget(mKey, 0, 0);
    ASSERT_GE(id, 0);
    std::string start =
        "SharedPIDList::SharedPIDList(): Could not map shared memory segment with key " +
        KeyText(mKey) + " (id " + std::to_string(id) + ", owner user root (uid 0)) ";
    EXPECT_EQ(OpenAs(65534, mKeyFile, SharedPIDList::Access::Existing),
              start + "for writing: Permission denied");
    EXPECT_EQ(OpenAs(65534, mKeyFile, SharedPIDList::Access::ReadOnly), "entries: 1");
    struct shmid_ds info;
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    info.shm_perm.mode = 0600;
    ASSERT_EQ(shmctl(id, IPC_SET, &info), 0);
    EXPECT_EQ(OpenAs(65534, mKeyFile, SharedPIDList::Access::ReadOnly),
              start + "for reading: Permission denied");
}

}  // namespace
