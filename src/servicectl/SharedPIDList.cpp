#include "servicectl/SharedPIDList.h"

#include "foundation/Exceptions.h"
#include "servicectl/DaemonIdentity.h"
#include "servicectl/ProcessState.h"

#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char kOpenPlace[] = "SharedPIDList::SharedPIDList(): ";

// 32-bit FNV-1a, continued from `hash` over `length` bytes.
uint32_t Fnv1a(uint32_t hash, const void* data, size_t length)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 16777619u;
    }
    return hash;
}

std::string KeyText(key_t key)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(key));
    return text;
}

// "user NAME (uid N)", or "uid N" for a uid without a name.
std::string OwnerText(uid_t uid)
{
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[1024];
    std::string number = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return "user " + std::string(found->pw_name) + " (" + number + ")";
    return number;
}

// Size and owner of segment `id` from /proc/sysvipc/shm, which everyone may
// read, for a segment whose mode keeps the caller from IPC_STAT.
bool StatFromProc(int id, struct shmid_ds& info)
{
    FILE* file = fopen("/proc/sysvipc/shm", "re");
    if (file == nullptr)
        return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof line, file) != nullptr) {
        long key, shmid, nattch;
        unsigned mode, uid;
        unsigned long size;
        int cpid, lpid;
        if (sscanf(line, "%ld %ld %o %lu %d %d %ld %u", &key, &shmid, &mode, &size, &cpid, &lpid,
                   &nattch, &uid) == 8 &&
            shmid == id) {
            info.shm_segsz = size;
            info.shm_perm.uid = uid;
            found = true;
        }
    }
    fclose(file);
    return found;
}

}  // namespace

std::string SharedPIDList::PIDEntry::name() const
{
    return std::string(serviceName, strnlen(serviceName, NAME_SIZE));
}

bool SharedPIDList::PIDEntry::hasName(const std::string& name) const
{
    return strncmp(serviceName, name.c_str(), NAME_SIZE) == 0;
}

SharedPIDList::SharedPIDList(Access access) : SharedPIDList(getFilePath(), access) {}

SharedPIDList::SharedPIDList(const std::string& executablePath, Access access)
    : mKey(keyFor(executablePath)), mReadOnly(access == Access::ReadOnly)
{
    open(access);
}

SharedPIDList::~SharedPIDList()
{
    // The mapping is all this object owns; the segment itself outlives it.
    if (mAttachment != nullptr)
        shmdt(mAttachment);
}

key_t SharedPIDList::keyFor(const std::string& executablePath)
{
    std::string path = servicectl::WithoutDeletedSuffix(executablePath);
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    struct stat info;
    if (name.empty() || stat(directory.c_str(), &info) != 0)
        throw CServiceException(std::string(kOpenPlace) + "Could not create an IPC key", 0);
    uint64_t device = info.st_dev, inode = info.st_ino;
    uint32_t hash = 2166136261u;
    hash = Fnv1a(hash, &device, sizeof device);
    hash = Fnv1a(hash, &inode, sizeof inode);
    hash = Fnv1a(hash, name.data(), name.size());
    key_t key = static_cast<key_t>(hash);
    return key == IPC_PRIVATE ? 1 : key;
}

void SharedPIDList::open(Access access)
{
    if (access == Access::Create) {
        // A new segment is zero-filled by the kernel; clearing it here again
        // could wipe an entry that another process made meanwhile.
        mSegmentId = shmget(mKey, SEGMENT_SIZE, IPC_CREAT | IPC_EXCL | 0644);
        if (mSegmentId != -1) {
            attach();
            return;
        }
    }
    // Size 0 finds a segment of any size, so that a wrong one is named.
    mSegmentId = shmget(mKey, 0, 0);
    if (mSegmentId == -1) {
        if (errno == ENOENT && access != Access::Create)
            return;  // no list: no entries
        throw CServiceException(std::string(kOpenPlace) +
                                    "Could not access shared memory segment with key " +
                                    KeyText(mKey) + ": " + strerror(errno),
                                0);
    }
    checkSegment();
    attach();
}

void SharedPIDList::checkSegment() const
{
    struct shmid_ds info;
    if (shmctl(mSegmentId, IPC_STAT, &info) != 0 && !StatFromProc(mSegmentId, info))
        throw CServiceException(std::string(kOpenPlace) +
                                    "Could not access shared memory segment with key " +
                                    KeyText(mKey) + " (id " + std::to_string(mSegmentId) +
                                    "): " + strerror(errno),
                                0);
    std::string id = std::to_string(mSegmentId);
    std::string wayOut = "; if no daemon uses it, remove it with ipcrm -m " + id;
    if (info.shm_segsz != SEGMENT_SIZE)
        throw CServiceException(std::string(kOpenPlace) + "shared memory segment with key " +
                                    KeyText(mKey) + " (id " + id + ", owner " +
                                    OwnerText(info.shm_perm.uid) + ") has " +
                                    std::to_string(info.shm_segsz) + " bytes instead of " +
                                    std::to_string(SEGMENT_SIZE) + wayOut,
                                0);
    // Root may use a list made by the service's own user; the checks of
    // each entry keep its signals on target.
    uid_t caller = geteuid();
    if (caller != 0 && info.shm_perm.uid != 0 && info.shm_perm.uid != caller)
        throw CServiceException(std::string(kOpenPlace) + "shared memory segment with key " +
                                    KeyText(mKey) + " (id " + id + ") is owned by " +
                                    OwnerText(info.shm_perm.uid) +
                                    ", neither root nor the caller" + wayOut,
                                0);
}

void SharedPIDList::attach()
{
    void* address = shmat(mSegmentId, nullptr, mReadOnly ? SHM_RDONLY : 0);
    if (address == reinterpret_cast<void*>(-1)) {
        // Most often another user's list (root's daemon, asked by anyone
        // else): the owner tells the caller whom to ask or to be.
        int error = errno;
        struct shmid_ds info;
        std::string owner = shmctl(mSegmentId, IPC_STAT, &info) == 0 ||
                                    StatFromProc(mSegmentId, info)
                                ? ", owner " + OwnerText(info.shm_perm.uid)
                                : std::string();
        throw CServiceException(std::string(kOpenPlace) +
                                    "Could not map shared memory segment with key " +
                                    KeyText(mKey) + " (id " + std::to_string(mSegmentId) + owner +
                                    ") " + (mReadOnly ? "for reading" : "for writing") + ": " +
                                    strerror(error),
                                0);
    }
    if (mAttachment != nullptr)
        shmdt(mAttachment);
    mAttachment = address;
    mEntries = static_cast<PIDEntry*>(address);
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
    // Another process may mark the segment for removal (its last entry
    // went) between our attach and our store; an entry in a removed segment
    // is invisible, so the daemon would be lost. Add again in a fresh one.
    for (int attempt = 0; attempt < 3 && !mReadOnly; ++attempt) {
        if (mEntries == nullptr)
            open(Access::Create);
        PIDEntry* slot = nullptr;
        for (int i = 0; i < NUM_ENTRIES && slot == nullptr; ++i)
            if (__atomic_load_n(&mEntries[i].pid, __ATOMIC_ACQUIRE) == 0)
                slot = &mEntries[i];
        if (slot == nullptr)
            break;
        // The name first, then the pid that makes the slot visible.
        memset(slot->serviceName, 0, NAME_SIZE);
        memcpy(slot->serviceName, serviceName.data(),
               serviceName.size() < NAME_SIZE - 1 ? serviceName.size() : NAME_SIZE - 1);
        __atomic_store_n(&slot->pid, pid, __ATOMIC_RELEASE);
        struct shmid_ds info;
        if (shmctl(mSegmentId, IPC_STAT, &info) != 0 || !(info.shm_perm.mode & SHM_DEST))
            return;
        mEntries = nullptr;
    }
    throw CServiceException("SharedPIDList::add(): Ran out of PID space", 0);
}

void SharedPIDList::remove(int pid)
{
    if (mEntries == nullptr || mReadOnly)
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
