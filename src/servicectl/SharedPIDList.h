// The list of running daemons of this executable, in a System V shared
// memory segment keyed by the executable's location, so that a later
// invocation of the same executable finds them.
//
// The segment is created with mode 0644: only its owner (and root) can
// change it. An existing segment is used only when it has the size of the
// list and, unless the caller is root, belongs to root or the caller.
// Everything read from it is still untrusted: an entry names a daemon only
// after the checks of DaemonIdentity.h.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SharedPIDList {
public:
    static constexpr int NUM_ENTRIES = 32;
    static constexpr size_t NAME_SIZE = 32;

    // The layout is shared with other processes (and other builds of this
    // program): 4-byte pid in host byte order, then 32 name bytes.
    struct PIDEntry {
        int32_t pid;  // 0 marks a free slot
        char serviceName[NAME_SIZE];

        // The name as stored, read as at most 32 bytes even when another
        // process left it without its terminating zero.
        std::string name() const;
        // True when the stored name equals `serviceName` in its first 32 bytes.
        bool hasName(const std::string& serviceName) const;
    };
    static_assert(sizeof(PIDEntry) == 36, "PIDEntry is 36 bytes in the shared segment");
    static_assert(offsetof(PIDEntry, serviceName) == 4, "the name follows the pid");

    static constexpr size_t SEGMENT_SIZE = NUM_ENTRIES * sizeof(PIDEntry);
    static_assert(SEGMENT_SIZE == 1152, "the segment holds 32 entries and nothing else");

    enum class Access {
        Create,    // read and write; creates the segment when there is none
        Existing,  // read and write; without a segment the list is empty
        ReadOnly,  // read only; without a segment the list is empty
    };

    // Opens the list of this executable (keyed by getFilePath()).
    explicit SharedPIDList(Access access = Access::Create);
    // Opens the list of the executable at `executablePath`.
    explicit SharedPIDList(const std::string& executablePath, Access access = Access::Create);
    ~SharedPIDList();
    SharedPIDList(const SharedPIDList&) = delete;
    SharedPIDList& operator=(const SharedPIDList&) = delete;

    // Puts the pair into the first free slot; the name is cut to 31 bytes.
    void add(int pid, const std::string& serviceName);
    // Frees every slot holding `pid`; marks the segment for removal when no
    // slot is in use any more. Does nothing on a read-only list.
    void remove(int pid);
    // Copies of the slots in use, in slot order.
    std::vector<PIDEntry> getEntries() const;
    // A copy of slot `index` (0 .. NUM_ENTRIES-1), read once so that a
    // concurrent writer cannot change it between checks.
    PIDEntry getEntry(int index) const;

    // The executable's own path (the link /proc/self/exe).
    static std::string getFilePath();

    // The key of the list of the executable at `executablePath`: a hash of
    // the device and inode of its directory and of its file name (a
    // trailing " (deleted)" left by /proc is ignored). It survives the
    // replacement of the file by a new one at the same path (a package
    // upgrade renames a new inode into place), and a copy at another path,
    // or under another name in the same directory, gets another key.
    // All 32 bits depend on every input; ftok() would keep only 16 bits of
    // the inode, 8 of the device and 8 of a name-derived id, so two names
    // in one directory would share a list once in 256 pairs. A collision
    // that still happens costs slots, never a wrong signal: entries are
    // checked against the process they name. Never IPC_PRIVATE.
    // Throws CServiceException when the directory cannot be examined.
    static key_t keyFor(const std::string& executablePath);

private:
    // Finds (or, for Access::Create, makes) the segment of mKey and
    // attaches it; throws on failure.
    void open(Access access);
    // Throws, with the way out, when the existing segment is not one this
    // process may trust: wrong size, or owned by someone else.
    void checkSegment() const;
    // Attaches mSegmentId; throws on failure.
    void attach();

    PIDEntry* mEntries = nullptr;  // null once the segment is marked for removal
    int mSegmentId = -1;
    key_t mKey;
    bool mReadOnly;
    void* mAttachment = nullptr;   // kept for the detach at destruction
};
