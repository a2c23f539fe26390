// A private copy of a service executable. The shared PID list is keyed by
// the executable's path, so every test has a list of its own and tests can
// run in parallel. Daemons started with -start become children of the test
// (it is their subreaper) and are ended and reaped at the end.
#pragma once

#include "common/test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// The key of the PID list of the executable at `exe`, worked out here apart
// from the service's own code: 32-bit FNV-1a over the device and inode of
// the directory (8 bytes each, host order) and the file name. It must never
// change between versions, or an upgraded controller loses the running
// daemon; every test that finds a daemon in the list checks that it did not.
inline key_t PIDListKey(const std::string& exe)
{
    size_t slash = exe.rfind('/');
    struct stat info;
    if (slash == std::string::npos || stat(exe.substr(0, slash + 1).c_str(), &info) != 0)
        return -1;
    uint64_t fields[2] = {info.st_dev, info.st_ino};
    std::string bytes(reinterpret_cast<const char*>(fields), sizeof fields);
    bytes += exe.substr(slash + 1);
    uint32_t hash = 2166136261u;
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 16777619u;
    return hash == 0 ? 1 : static_cast<key_t>(hash);
}

struct Slot {
    int32_t pid;
    std::string name;  // as the controller reads it: at most 32 bytes
};

class ServiceCopy {
public:
    // Copies `source` to `exe`; `log` is where the copy logs, `env` entries
    // are given to every invocation.
    ServiceCopy(const std::string& source, const std::string& exe, const std::string& log,
                std::vector<std::string> env = {})
        : mExe(exe), mLog(log), mEnv(std::move(env))
    {
        testutil::CopyFile(source, mExe, true);
        mKey = PIDListKey(mExe);
    }

    ~ServiceCopy()
    {
        for (const Slot& slot : Slots())
            Forget(slot.pid);
        for (pid_t pid : mDaemons)
            Forget(pid);
        testutil::ReapChildren();
        RemoveSegment();
    }

    const std::string& exe() const { return mExe; }
    const std::string& log() const { return mLog; }
    key_t key() const { return mKey; }

    testutil::RunResult Ctl(const std::vector<std::string>& args,
                            const std::vector<std::string>& env = {}, int timeoutMs = 90000)
    {
        std::vector<std::string> argv{mExe};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> fullEnv = mEnv;
        fullEnv.insert(fullEnv.end(), env.begin(), env.end());
        return testutil::Run(argv, fullEnv, timeoutMs);
    }

    // The slots in use, read directly from the segment; empty if none.
    std::vector<Slot> Slots() const
    {
        std::vector<Slot> slots;
        int id = shmget(mKey, 0, 0);
        if (id < 0)
            return slots;
        void* address = shmat(id, nullptr, SHM_RDONLY);
        if (address == reinterpret_cast<void*>(-1))
            return slots;
        const char* raw = static_cast<const char*>(address);
        for (int i = 0; i < 32; ++i) {
            int32_t pid;
            memcpy(&pid, raw + 36 * i, 4);
            if (pid != 0)
                slots.push_back({pid, std::string(raw + 36 * i + 4, strnlen(raw + 36 * i + 4, 32))});
        }
        shmdt(address);
        return slots;
    }

    bool SegmentExists() const { return shmget(mKey, 0, 0) >= 0; }

    // Writes one slot directly, creating the segment if needed.
    void WriteSlot(int index, int32_t pid, const void* name, size_t nameLength)
    {
        int id = shmget(mKey, 1152, IPC_CREAT | 0666);
        ASSERT_GE(id, 0);
        void* address = shmat(id, nullptr, 0);
        ASSERT_NE(address, reinterpret_cast<void*>(-1));
        char* raw = static_cast<char*>(address);
        memcpy(raw + 36 * index, &pid, 4);
        memset(raw + 36 * index + 4, 0, 32);
        memcpy(raw + 36 * index + 4, name, nameLength);
        shmdt(address);
    }

    // The pid of the daemon recorded for `name`, waiting for it to appear.
    pid_t WaitForDaemon(const std::string& name, pid_t other = 0)
    {
        pid_t found = 0;
        testutil::WaitUntil([&] {
            for (const Slot& slot : Slots())
                if (slot.name == name && slot.pid != other)
                    found = slot.pid;
            return found != 0;
        }, 10000);
        if (found > 0)
            mDaemons.push_back(found);
        return found;
    }

    bool WaitForLog(const std::string& text, int count = 1, int timeoutMs = 10000) const
    {
        return testutil::WaitUntil(
            [&] { return testutil::CountLinesContaining(mLog, text) >= count; }, timeoutMs);
    }

    // SIGTERM to a -console service and its exit status, as WaitForExit.
    static int StopConsole(pid_t console)
    {
        kill(console, SIGTERM);
        return WaitForExit(console, 30000);
    }
    // Waits for a daemon (our child as its subreaper) to end and returns its
    // wait status; -1 if it did not end in time.
    static int WaitForExit(pid_t pid, int timeoutMs = 10000)
    {
        int status = -1;
        bool ended = testutil::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                         timeoutMs, 10);
        return ended ? status : -1;
    }

    int CountLines(const std::string& text) const
    {
        return testutil::CountLinesContaining(mLog, text);
    }

    // Line index of the first line containing `text`, or -1.
    int LineOf(const std::string& text) const
    {
        auto lines = testutil::ReadLines(mLog);
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }

    void RemoveSegment() const
    {
        int id = shmget(mKey, 0, 0);
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
    }

private:
    // Ends a leftover daemon, but only if it still runs our copy.
    void Forget(pid_t pid) const
    {
        if (pid <= 0)
            return;
        char buf[4096];
        ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
        if (n > 0 && std::string(buf, n) == mExe)
            testutil::KillAndReap(pid);
        else
            waitpid(pid, nullptr, WNOHANG);
    }

    std::string mExe;
    std::string mLog;
    std::vector<std::string> mEnv;
    key_t mKey = -1;
    std::vector<pid_t> mDaemons;
};

inline long ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

}  // namespace testutil
