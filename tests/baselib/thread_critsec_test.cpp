// Worker threads (bounded wait, then cancellation) and critical sections for
// threads, for processes sharing a named block, and on a caller's block.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "baselib/kx_critsec.h"
#include "baselib/kx_log.h"
#include "baselib/kx_memory.h"
#include "baselib/kx_thread.h"
#include "baselib/kx_time.h"
#include "common/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// What a worker reports back; its destructor-run flag tells that the thread
// was unwound by cancellation (or returned) rather than still running.
struct WorkerState {
    std::atomic<bool> started{false};
    std::atomic<bool> completed{false};
    std::atomic<bool> ended{false};
    std::atomic<bool> insideSection{false};
    std::atomic<bool> leftSection{false};
    int sleepMs = 0;
    KXCriticalSection* cs = nullptr;
};

struct EndMarker {
    WorkerState* state;
    ~EndMarker() { state->ended = true; }
};

// Sleeps sleepMs ignoring the stop flag, then returns with the error flag set.
void SleepThenReturn(int*, int* error, void* data)
{
    auto* state = static_cast<WorkerState*>(data);
    EndMarker marker{state};
    state->started = true;
    SleepMilliseconds(state->sleepMs);
    *error = 1;
    state->completed = true;
}

// Never looks at the stop flag; only cancellation ends it.
void IgnoreStop(int*, int*, void* data)
{
    auto* state = static_cast<WorkerState*>(data);
    EndMarker marker{state};
    state->started = true;
    for (;;)
        SleepMilliseconds(10);
}

void PollStop(int* stop, int*, void* data)
{
    auto* state = static_cast<WorkerState*>(data);
    EndMarker marker{state};
    state->started = true;
    while (!__atomic_load_n(stop, __ATOMIC_ACQUIRE))
        SleepMilliseconds(5);
    state->completed = true;
}

// Holds the section for sleepMs (sleeping is a cancellation point), then
// leaves it and idles until cancelled.
void HoldSectionThenIdle(int*, int*, void* data)
{
    auto* state = static_cast<WorkerState*>(data);
    EndMarker marker{state};
    state->started = true;
    if (state->cs->Enter(state->cs) != ERROR_NONE)
        return;
    state->insideSection = true;
    SleepMilliseconds(state->sleepMs);
    state->leftSection = true;
    state->cs->Leave(state->cs);
    for (;;)
        SleepMilliseconds(10);
}

TEST(KXThread, FreeWaitsForAThreadThatEndsInTime)
{
    WorkerState state;
    state.sleepMs = 250;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, SleepThenReturn, &state), ERROR_NONE);
    auto t0 = Clock::now();
    ASSERT_EQ(KXThreadFree(&thread, 10000), ERROR_NONE);
    long elapsed = ElapsedMs(t0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_TRUE(state.completed);
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 1500);  // 100 ms steps, not the whole time-out
    EXPECT_TRUE(testutil::WaitUntil([&] { return state.ended.load(); }, 2000));
}

TEST(KXThread, FreeCancelsAThreadThatIgnoresStopAfterTheTimeout)
{
    WorkerState state;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, IgnoreStop, &state), ERROR_NONE);
    ASSERT_TRUE(testutil::WaitUntil([&] { return state.started.load(); }, 2000));
    auto t0 = Clock::now();
    ASSERT_EQ(KXThreadFree(&thread, 250), ERROR_NONE);
    long elapsed = ElapsedMs(t0);
    EXPECT_GE(elapsed, 250);  // 100 + 100 + 50
    EXPECT_LT(elapsed, 1000);
    EXPECT_TRUE(testutil::WaitUntil([&] { return state.ended.load(); }, 2000));
    EXPECT_FALSE(state.completed);
}

TEST(KXThread, ZeroTimeoutCancelsAtOnceButLeavesAFinishedThreadAlone)
{
    WorkerState running;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, IgnoreStop, &running), ERROR_NONE);
    ASSERT_TRUE(testutil::WaitUntil([&] { return running.started.load(); }, 2000));
    auto t0 = Clock::now();
    ASSERT_EQ(KXThreadFree(&thread, 0), ERROR_NONE);
    EXPECT_LT(ElapsedMs(t0), 100);
    EXPECT_TRUE(testutil::WaitUntil([&] { return running.ended.load(); }, 2000));

    WorkerState quick;
    quick.sleepMs = 0;
    ASSERT_EQ(KXThreadNew(&thread, SleepThenReturn, &quick), ERROR_NONE);
    int finished = 0;
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return KXThreadIsFinished(thread, &finished) == ERROR_NONE && finished; }, 2000));
    int error = 0;
    EXPECT_EQ(KXThreadHasError(thread, &error), ERROR_NONE);
    EXPECT_EQ(error, 1);
    ASSERT_EQ(KXThreadFree(&thread, 0), ERROR_NONE);
    EXPECT_TRUE(quick.completed);
}

TEST(KXThread, NegativeTimeoutWaitsWithoutLimitAndStopIsCooperative)
{
    WorkerState slow;
    slow.sleepMs = 350;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, SleepThenReturn, &slow), ERROR_NONE);
    auto t0 = Clock::now();
    ASSERT_EQ(KXThreadFree(&thread, -1), ERROR_NONE);
    EXPECT_GE(ElapsedMs(t0), 350);
    EXPECT_TRUE(slow.completed);

    WorkerState polite;
    ASSERT_EQ(KXThreadNew(&thread, PollStop, &polite), ERROR_NONE);
    ASSERT_EQ(KXThreadStop(thread), ERROR_NONE);
    int finished = 0;
    EXPECT_TRUE(testutil::WaitUntil(
        [&] { return KXThreadIsFinished(thread, &finished) == ERROR_NONE && finished; }, 2000));
    EXPECT_TRUE(polite.completed);
    ASSERT_EQ(KXThreadFree(&thread, -1), ERROR_NONE);
}

// Enters the section on a helper thread; true if that succeeds within the
// limit (the section is then left again). A helper that stays blocked is
// abandoned: the test has failed by then.
bool CanEnterWithin(KXCriticalSection* cs, int timeoutMs)
{
    auto entered = std::make_shared<std::atomic<bool>>(false);
    std::thread helper([cs, entered] {
        if (cs->Enter(cs) == ERROR_NONE) {
            *entered = true;
            cs->Leave(cs);
        }
    });
    bool ok = testutil::WaitUntil([&] { return entered->load(); }, timeoutMs);
    if (ok)
        helper.join();
    else
        helper.detach();
    return ok;
}

TEST(CriticalSection, HolderIsCancelledOnlyAfterLeaving)
{
    KXCriticalSection* cs = nullptr;
    ASSERT_EQ(KXCriticalSectionThreadNew(&cs), ERROR_NONE);
    WorkerState state;
    state.cs = cs;
    state.sleepMs = 300;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, HoldSectionThenIdle, &state), ERROR_NONE);
    ASSERT_TRUE(testutil::WaitUntil([&] { return state.insideSection.load(); }, 2000));

    // Returns at once although the thread keeps running (and keeps using its
    // record) until it has left the section.
    auto t0 = Clock::now();
    ASSERT_EQ(KXThreadFree(&thread, 0), ERROR_NONE);
    EXPECT_LT(ElapsedMs(t0), 100);
    EXPECT_FALSE(state.leftSection);

    EXPECT_TRUE(testutil::WaitUntil([&] { return state.ended.load(); }, 3000));
    EXPECT_TRUE(state.leftSection);  // the sleep inside was not a way out
    EXPECT_TRUE(CanEnterWithin(cs, 2000));
    EXPECT_EQ(cs->Free(&cs), ERROR_NONE);
    EXPECT_EQ(cs, nullptr);
}

TEST(CriticalSection, ThreadCancelledWhileWaitingDoesNotKeepTheSection)
{
    KXCriticalSection* cs = nullptr;
    ASSERT_EQ(KXCriticalSectionThreadNew(&cs), ERROR_NONE);
    ASSERT_EQ(cs->Enter(cs), ERROR_NONE);
    WorkerState state;
    state.cs = cs;
    state.sleepMs = 0;
    KXThread* thread = nullptr;
    ASSERT_EQ(KXThreadNew(&thread, HoldSectionThenIdle, &state), ERROR_NONE);
    ASSERT_TRUE(testutil::WaitUntil([&] { return state.started.load(); }, 2000));
    SleepMilliseconds(50);  // let it block in Enter
    ASSERT_EQ(KXThreadFree(&thread, 0), ERROR_NONE);
    EXPECT_FALSE(state.insideSection);
    ASSERT_EQ(cs->Leave(cs), ERROR_NONE);

    EXPECT_TRUE(testutil::WaitUntil([&] { return state.ended.load(); }, 3000));
    EXPECT_TRUE(CanEnterWithin(cs, 2000));
    cs->Free(&cs);
}

TEST(CriticalSection, ExcludesThreadsAndBlocksCancellationWhileHeld)
{
    KXCriticalSection* cs = nullptr;
    ASSERT_EQ(KXCriticalSectionThreadNew(nullptr), ERROR_PARAMETER);
    ASSERT_EQ(KXCriticalSectionThreadNew(&cs), ERROR_NONE);
    KXCriticalSection* again = cs;
    EXPECT_EQ(KXCriticalSectionThreadNew(&again), ERROR_PARAMETER);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                cs->Enter(cs);
                long seen = counter;
                if (i % 1000 == 0)
                    std::this_thread::yield();
                counter = seen + 1;
                cs->Leave(cs);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);

    int state = -1;
    ASSERT_EQ(cs->Enter(cs), ERROR_NONE);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    EXPECT_EQ(state, PTHREAD_CANCEL_DISABLE);
    ASSERT_EQ(cs->Leave(cs), ERROR_NONE);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
    EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);

    EXPECT_EQ(KXCriticalSectionPThreadEnter(nullptr), ERROR_PARAMETER);
    EXPECT_EQ(KXCriticalSectionPThreadLeave(nullptr), ERROR_PARAMETER);
    EXPECT_EQ(cs->Free(&cs), ERROR_NONE);
    EXPECT_EQ(KXCriticalSectionPThreadFree(&cs), ERROR_PARAMETER);
}

// The layout of the shared mutex block, as every process must see it.
struct MutexBlockLayout {
    pthread_mutex_t mutex;
    pthread_mutexattr_t attr;
    int32_t state;
};

int32_t* StateOf(void* block)
{
    return reinterpret_cast<int32_t*>(static_cast<char*>(block) +
                                      offsetof(MutexBlockLayout, state));
}

TEST(CriticalSection, SharedBlockSizeFollowsThePlatformLayout)
{
    EXPECT_EQ(KXCriticalSectionPThreadSharedSize(), static_cast<int>(sizeof(MutexBlockLayout)));
    EXPECT_GE(sizeof(MutexBlockLayout),
              sizeof(pthread_mutex_t) + sizeof(pthread_mutexattr_t) + sizeof(int32_t));
}

// A memory manager whose named blocks live in one anonymous shared mapping,
// inherited across fork: processes asking for the same name get the same
// block, the first one as its creator.
class SharedArena {
public:
    struct Entry {
        int name;
        int users;
        size_t offset;
    };
    struct Header {
        char lock;
        size_t used;
        int entryCount;
        Entry entries[16];
        int unallocCalls;
        // Scratch space for the tests, shared by all processes.
        int ready;
        int go;
        long counter;
        size_t rawBlock;
    };

    explicit SharedArena(size_t size) : mSize(size)
    {
        mBase = static_cast<char*>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (mBase == MAP_FAILED)
            throw std::bad_alloc();
        header = new (mBase) Header{};
        header->used = (sizeof(Header) + 63) / 64 * 64;
    }
    ~SharedArena() { munmap(mBase, mSize); }

    // A manager record of this process over the shared arena.
    KXMemoryManager* NewManager()
    {
        auto* mm = new KXMemoryManager{};
        mm->data = this;
        mm->Malloc = [](KXMemoryManager* m, size_t size) { return Self(m)->Allocate(size); };
        mm->Calloc = [](KXMemoryManager* m, size_t n, size_t size) {
            return Self(m)->Allocate(n * size);
        };
        mm->Unalloc = [](KXMemoryManager* m, void*) {
            __atomic_add_fetch(&Self(m)->header->unallocCalls, 1, __ATOMIC_SEQ_CST);
        };
        mm->NamedMalloc = [](KXMemoryManager* m, int name, size_t size, int* created) {
            return Self(m)->Named(name, size, created);
        };
        mm->NamedCalloc = [](KXMemoryManager* m, int name, size_t n, size_t size, int* created) {
            return Self(m)->Named(name, n * size, created);
        };
        mm->ReleaseName = [](KXMemoryManager* m, int name, int* users) {
            return Self(m)->Release(name, users);
        };
        mm->GetOffset = [](KXMemoryManager* m, void* p) {
            return static_cast<size_t>(static_cast<char*>(p) - Self(m)->mBase);
        };
        mm->GetPtr = [](KXMemoryManager* m, size_t offset) {
            return static_cast<void*>(Self(m)->mBase + offset);
        };
        return mm;
    }
    static void DeleteManager(KXMemoryManager* mm) { delete mm; }

    void* Allocate(size_t size)
    {
        Lock();
        void* block = nullptr;
        size_t rounded = (size + 63) / 64 * 64;
        if (header->used + rounded <= mSize) {
            block = mBase + header->used;
            memset(block, 0, size);
            header->used += rounded;
        }
        Unlock();
        return block;
    }

    // Registers a block under a name without initialising it, as a creator
    // that never finishes would leave it.
    void* Preregister(int name, size_t size)
    {
        int created = 0;
        return Named(name, size, &created);
    }

    Entry* Find(int name)
    {
        for (int i = 0; i < header->entryCount; i++)
            if (header->entries[i].name == name)
                return &header->entries[i];
        return nullptr;
    }

    Header* header;

private:
    static SharedArena* Self(KXMemoryManager* mm) { return static_cast<SharedArena*>(mm->data); }
    void Lock()
    {
        while (__atomic_test_and_set(&header->lock, __ATOMIC_ACQUIRE))
            sched_yield();
    }
    void Unlock() { __atomic_clear(&header->lock, __ATOMIC_RELEASE); }

    void* Named(int name, size_t size, int* created)
    {
        Lock();
        Entry* entry = Find(name);
        if (entry != nullptr) {
            entry->users++;
            *created = 0;
            Unlock();
            return mBase + entry->offset;
        }
        Unlock();
        void* block = Allocate(size);
        if (block == nullptr)
            return nullptr;
        Lock();
        entry = &header->entries[header->entryCount++];
        *entry = Entry{name, 1, static_cast<size_t>(static_cast<char*>(block) - mBase)};
        *created = 1;
        Unlock();
        return block;
    }

    KXStatus Release(int name, int* users)
    {
        Lock();
        Entry* entry = Find(name);
        if (entry == nullptr) {
            Unlock();
            return ERROR_NOT_FOUND;
        }
        *users = --entry->users;
        if (*users == 0)
            *entry = header->entries[--header->entryCount];
        Unlock();
        return ERROR_NONE;
    }

    char* mBase;
    size_t mSize;
};

// Adds to the shared counter under the section, with a pause between the
// read and the write so that an unguarded update would lose increments.
bool CountUnder(KXCriticalSection* cs, long* counter, int times)
{
    for (int i = 0; i < times; i++) {
        if (cs->Enter(cs) != ERROR_NONE)
            return false;
        long seen = *counter;
        if (i % 50 == 0)
            usleep(100);
        *counter = seen + 1;
        if (cs->Leave(cs) != ERROR_NONE)
            return false;
    }
    return true;
}

int WaitForChild(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

constexpr int kTimes = 2000;

TEST(CriticalSectionIPC, ProcessesSharingANamedBlockLockTheSameMutex)
{
    SharedArena arena(1 << 16);
    auto* h = arena.header;

    pid_t creator = fork();
    ASSERT_GE(creator, 0);
    if (creator == 0) {
        KXMemoryManager* mm = arena.NewManager();
        KXCriticalSection* cs = nullptr;
        if (KXCriticalSectionThreadAndIPCNew(&cs, mm, 7, nullptr) != ERROR_NONE)
            _exit(2);
        __atomic_store_n(&h->ready, 1, __ATOMIC_SEQ_CST);
        // Bounded, so a failed assertion in the parent never leaves it behind.
        if (!testutil::WaitUntil([&] { return __atomic_load_n(&h->go, __ATOMIC_SEQ_CST) != 0; },
                                 10000, 1))
            _exit(4);
        bool ok = CountUnder(cs, &h->counter, kTimes);
        _exit(ok && cs->Free(&cs) == ERROR_NONE ? 0 : 3);
    }

    // This process attaches once the creator has initialised the block.
    ASSERT_TRUE(testutil::WaitUntil([&] { return __atomic_load_n(&h->ready, __ATOMIC_SEQ_CST); },
                                    5000));
    KXMemoryManager* mm = arena.NewManager();
    KXCriticalSection* cs = nullptr;
    ASSERT_EQ(KXCriticalSectionThreadAndIPCNew(&cs, mm, 7, nullptr), ERROR_NONE);
    ASSERT_NE(arena.Find(7), nullptr);
    EXPECT_EQ(arena.Find(7)->users, 2);
    __atomic_store_n(&h->go, 1, __ATOMIC_SEQ_CST);
    EXPECT_TRUE(CountUnder(cs, &h->counter, kTimes));
    EXPECT_EQ(WaitForChild(creator), 0);
    EXPECT_EQ(h->counter, 2L * kTimes);

    // The creator has gone; the last user destroys and releases the block.
    EXPECT_EQ(h->unallocCalls, 0);
    EXPECT_EQ(cs->Free(&cs), ERROR_NONE);
    EXPECT_EQ(cs, nullptr);
    EXPECT_EQ(arena.Find(7), nullptr);
    EXPECT_EQ(h->unallocCalls, 1);
    SharedArena::DeleteManager(mm);
}

TEST(CriticalSectionIPC, AttachingToABlockNobodyInitialisesTimesOut)
{
    testutil::TempDir dir;
    KXLog* log = nullptr;
    ASSERT_EQ(KXLogNew(&log), 0);
    ASSERT_EQ(KXLogSetOutputFile(log, (dir / "log").c_str()), 0);

    SharedArena arena(1 << 16);
    arena.Preregister(9, KXCriticalSectionPThreadSharedSize());
    KXMemoryManager* mm = arena.NewManager();
    KXCriticalSection* cs = nullptr;
    auto t0 = Clock::now();
    EXPECT_EQ(KXCriticalSectionThreadAndIPCNew(&cs, mm, 9, log), ERROR_GENERAL);
    long elapsed = ElapsedMs(t0);
    EXPECT_GE(elapsed, 1050);  // ten retries of 100 ms and a last pause
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(cs, nullptr);
    ASSERT_NE(arena.Find(9), nullptr);
    EXPECT_EQ(arena.Find(9)->users, 1);  // our use was given back
    EXPECT_EQ(arena.header->unallocCalls, 0);
    EXPECT_EQ(testutil::CountLinesContaining(
                  dir / "log",
                  "] KXCriticalSectionThreadAndIPCNew(): waiting for another process that is "
                  "initializing the critical section timed out"),
              1);

    EXPECT_EQ(KXCriticalSectionThreadAndIPCNew(&cs, mm, 0, log), ERROR_PARAMETER);
    EXPECT_EQ(KXCriticalSectionThreadAndIPCNew(&cs, nullptr, 3, log), ERROR_PARAMETER);
    EXPECT_EQ(testutil::CountLinesContaining(
                  dir / "log",
                  "] KXCriticalSectionThreadAndIPCNew(): wrong arguments passed to the procedure"),
              2);
    SharedArena::DeleteManager(mm);
    KXLogFree(&log);
}

TEST(CriticalSectionRaw, ChecksTheSizeAndReportsTheSizeUsed)
{
    testutil::TempDir dir;
    KXLog* log = nullptr;
    ASSERT_EQ(KXLogNew(&log), 0);
    ASSERT_EQ(KXLogSetOutputFile(log, (dir / "log").c_str()), 0);

    alignas(64) char block[128] = {};
    KXCriticalSection* cs = nullptr;
    unsigned size = KXCriticalSectionPThreadSharedSize() - 1;
    EXPECT_EQ(KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, log), ERROR_MEMORY);
    EXPECT_EQ(size, static_cast<unsigned>(KXCriticalSectionPThreadSharedSize()) - 1);
    EXPECT_EQ(cs, nullptr);
    EXPECT_EQ(testutil::CountLinesContaining(
                  dir / "log",
                  "] KXCriticalSectionThreadAndIPCRawNew(): the piece of shared memory I got was "
                  "not big enough to store the shared data"),
              1);

    size = 64;
    ASSERT_EQ(KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, log), ERROR_NONE);
    EXPECT_EQ(size, static_cast<unsigned>(KXCriticalSectionPThreadSharedSize()));
    EXPECT_EQ(*StateOf(block), 1);
    ASSERT_EQ(cs->Enter(cs), ERROR_NONE);
    ASSERT_EQ(cs->Leave(cs), ERROR_NONE);
    EXPECT_EQ(cs->Free(&cs), ERROR_NONE);
    EXPECT_EQ(*StateOf(block), 1);  // the block stays for the other users

    EXPECT_EQ(KXCriticalSectionThreadAndIPCRawNew(&cs, nullptr, &size, log), ERROR_PARAMETER);
    EXPECT_EQ(testutil::CountLinesContaining(
                  dir / "log",
                  "] KXCriticalSectionThreadAndIPCRawNew(): wrong arguments passed to the "
                  "procedure"),
              1);

    *StateOf(block) = 7;  // not a block of ours
    EXPECT_EQ(KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, log), ERROR_STATE);
    EXPECT_EQ(cs, nullptr);
    pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t*>(block));
    KXLogFree(&log);
}

TEST(CriticalSectionRaw, WaitsWhileAnotherClaimsTheBlock)
{
    alignas(64) char block[64] = {};
    *StateOf(block) = -1;
    std::atomic<bool> done{false};
    KXStatus status = ERROR_GENERAL;
    KXCriticalSection* cs = nullptr;
    std::thread waiter([&] {
        unsigned size = sizeof(block);
        status = KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, nullptr);
        done = true;
    });
    SleepMilliseconds(300);
    EXPECT_FALSE(done);
    // The claimer gave up without initialising: the waiter claims it itself.
    __atomic_store_n(StateOf(block), 0, __ATOMIC_RELEASE);
    EXPECT_TRUE(testutil::WaitUntil([&] { return done.load(); }, 2000));
    waiter.join();
    EXPECT_EQ(status, ERROR_NONE);
    EXPECT_EQ(*StateOf(block), 1);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(cs->Enter(cs), ERROR_NONE);
    EXPECT_EQ(cs->Leave(cs), ERROR_NONE);
    cs->Free(&cs);
}

// A block left half-initialised (its claimer died) is refused after the
// same 1.1 s the creator of a named block is given, and stays as it was.
TEST(CriticalSectionRaw, GivesUpOnABlockLeftBeingInitialised)
{
    testutil::TempDir dir;
    KXLog* log = nullptr;
    ASSERT_EQ(KXLogNew(&log), 0);
    ASSERT_EQ(KXLogSetOutputFile(log, (dir / "log").c_str()), 0);

    alignas(64) char block[64] = {};
    *StateOf(block) = -1;
    KXCriticalSection* cs = nullptr;
    unsigned size = sizeof(block);
    auto t0 = Clock::now();
    EXPECT_EQ(KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, log), ERROR_GENERAL);
    long elapsed = ElapsedMs(t0);
    EXPECT_GE(elapsed, 1050);  // ten retries of 100 ms and a last pause
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(cs, nullptr);
    EXPECT_EQ(*StateOf(block), -1);
    EXPECT_EQ(testutil::CountLinesContaining(
                  dir / "log",
                  "] KXCriticalSectionThreadAndIPCRawNew(): waiting for another process that is "
                  "initializing the critical section timed out"),
              1);
    KXLogFree(&log);
}

TEST(CriticalSectionRaw, ProcessesStartingTogetherShareOneMutex)
{
    SharedArena arena(1 << 16);
    auto* h = arena.header;
    void* block = arena.Allocate(KXCriticalSectionPThreadSharedSize());
    ASSERT_NE(block, nullptr);

    constexpr int kProcesses = 4;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; p++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            __atomic_add_fetch(&h->ready, 1, __ATOMIC_SEQ_CST);
            while (!__atomic_load_n(&h->go, __ATOMIC_SEQ_CST))
                ;  // spin: all claim the block at the same moment
            KXCriticalSection* cs = nullptr;
            unsigned size = KXCriticalSectionPThreadSharedSize();
            if (KXCriticalSectionThreadAndIPCRawNew(&cs, block, &size, nullptr) != ERROR_NONE)
                _exit(2);
            bool ok = CountUnder(cs, &h->counter, kTimes / 2);
            _exit(ok && cs->Free(&cs) == ERROR_NONE ? 0 : 3);
        }
        children.push_back(pid);
    }
    ASSERT_TRUE(testutil::WaitUntil(
        [&] { return __atomic_load_n(&h->ready, __ATOMIC_SEQ_CST) == kProcesses; }, 5000));
    __atomic_store_n(&h->go, 1, __ATOMIC_SEQ_CST);
    for (pid_t pid : children)
        EXPECT_EQ(WaitForChild(pid), 0);
    EXPECT_EQ(h->counter, static_cast<long>(kProcesses) * (kTimes / 2));
    EXPECT_EQ(*StateOf(block), 1);
}

}  // namespace
