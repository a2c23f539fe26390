#include "servicectl/SharedPIDList.h"

#include "foundation/Exceptions.h"
#include "servicectl/ProcessState.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstring>

namespace {

// The project id of the key: the character P.
constexpr int kProjectId = 80;

}  // namespace

std::string SharedPIDList::PIDEntry::name() const
{
    return std::string(serviceName, strnlen(serviceName, NAME_SIZE));
}

bool SharedPIDList::PIDEntry::hasName(const std::string& name) const
{
    return strncmp(serviceName, name.c_str(), NAME_SIZE) == 0;
}

SharedPIDList::SharedPIDList()
{
    open(getFilePath());
}

SharedPIDList::SharedPIDList(const std::string& keyPath)
{
    open(keyPath);
}

SharedPIDList::~SharedPIDList()
{
    // The mapping is all this object owns; the segment itself outlives it.
    if (mAttachment != nullptr)
        shmdt(mAttachment);
}

void SharedPIDList::open(const std::string& keyPath)
{
    key_t key = ftok(keyPath.c_str(), kProjectId);
    if (key == -1)
        throw CServiceException("SharedPIDList::SharedPIDList(): Could not create an IPC key", 0);
    bool created = true;
    mSegmentId = shmget(key, SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | 0666);
    if (mSegmentId == -1) {
        created = false;
        mSegmentId = shmget(key, SEGMENT_SIZE, 0);
        if (mSegmentId == -1)
            throw CServiceException(
                "SharedPIDList::SharedPIDList(): Could not access shared memory segment", 0);
    }
    void* address = shmat(mSegmentId, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
        throw CServiceException("SharedPIDList::SharedPIDList(): Could not map shared memory segment",
                                0);
    mAttachment = address;
    mEntries = static_cast<PIDEntry*>(address);
    if (created)
        memset(address, 0, SEGMENT_SIZE);
}

SharedPIDList::PIDEntry SharedPIDList::getEntry(int index) const
{
    PIDEntry copy;
    memset(&copy, 0, sizeof copy);
    if (mEntries == nullptr || index < 0 || index >= NUM_ENTRIES)
        return copy;
    // Other processes write the segment without a lock: read the pid once,
    // as one 32-bit load, and work on the copy only.
    copy.pid = __atomic_load_n(&mEntries[index].pid, __ATOMIC_ACQUIRE);
    memcpy(copy.serviceName, mEntries[index].serviceName, NAME_SIZE);
    return copy;
}

void SharedPIDList::add(int pid, const std::string& serviceName)
{
    if (mEntries != nullptr) {
        for (int i = 0; i < NUM_ENTRIES; ++i) {
            PIDEntry& entry = mEntries[i];
            if (__atomic_load_n(&entry.pid, __ATOMIC_ACQUIRE) != 0)
                continue;
            // The name first, then the pid that makes the slot visible.
            memset(entry.serviceName, 0, NAME_SIZE);
            memcpy(entry.serviceName, serviceName.data(),
                   serviceName.size() < NAME_SIZE - 1 ? serviceName.size() : NAME_SIZE - 1);
            __atomic_store_n(&entry.pid, pid, __ATOMIC_RELEASE);
            return;
        }
    }
    throw CServiceException("SharedPIDList::add(): Ran out of PID space", 0);
}

void SharedPIDList::remove(int pid)
{
    if (mEntries == nullptr)
        return;
    int inUse = 0;
    for (int i = 0; i < NUM_ENTRIES; ++i) {
        int32_t slotPid = __atomic_load_n(&mEntries[i].pid, __ATOMIC_ACQUIRE);
        if (slotPid == pid)
            __atomic_store_n(&mEntries[i].pid, 0, __ATOMIC_RELEASE);
        else if (slotPid != 0)
            ++inUse;
    }
    if (inUse == 0) {
        // The segment goes once every attached process has detached; the
        // next invocation creates a fresh one.
        shmctl(mSegmentId, IPC_RMID, nullptr);
        mEntries = nullptr;
    }
}

std::vector<SharedPIDList::PIDEntry> SharedPIDList::getEntries() const
{
    std::vector<PIDEntry> entries;
    for (int i = 0; i < NUM_ENTRIES; ++i) {
        PIDEntry entry = getEntry(i);
        if (entry.pid != 0)
            entries.push_back(entry);
    }
    return entries;
}

std::string SharedPIDList::getFilePath()
{
    std::string path;
    if (!servicectl::ReadLink("/proc/self/exe", path))
        throw CServiceException(
            "SharedPIDList::getFilePath(): error determining executable path", 0);
    return path;
}
