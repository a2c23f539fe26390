// The list of running daemons of this executable, in a System V shared
// memory segment keyed by the executable's path, so that a later invocation
// of the same executable finds them. The segment is writable by every local
// user: everything read from it is untrusted.
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

    // Opens or creates the list of this executable (keyed by getFilePath()).
    SharedPIDList();
    // Opens or creates the list keyed by another existing file.
    explicit SharedPIDList(const std::string& keyPath);
    ~SharedPIDList();
    SharedPIDList(const SharedPIDList&) = delete;
    SharedPIDList& operator=(const SharedPIDList&) = delete;

    // Puts the pair into the first free slot; the name is cut to 31 bytes.
    void add(int pid, const std::string& serviceName);
    // Frees every slot holding `pid`; marks the segment for removal when no
    // slot is in use any more.
    void remove(int pid);
    // Copies of the slots in use, in slot order.
    std::vector<PIDEntry> getEntries() const;
    // A copy of slot `index` (0 .. NUM_ENTRIES-1), read once so that a
    // concurrent writer cannot change it between checks.
    PIDEntry getEntry(int index) const;

    // The executable's own path (the link /proc/self/exe).
    static std::string getFilePath();

private:
    void open(const std::string& keyPath);

    PIDEntry* mEntries = nullptr;  // null once the segment is marked for removal
    int mSegmentId = -1;
    void* mAttachment = nullptr;   // kept for the detach at destruction
};
