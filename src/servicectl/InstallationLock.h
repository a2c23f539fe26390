// One supervisor per installation: the running service holds an exclusive
// flock on run/tarvelsvc.lock in its installation for its whole life. The
// lock goes with the process, not with the executable's path, so a service
// started from a file that was renamed away since is still found, and the
// kernel drops it when the process ends, however it ends.
#pragma once

#include <sys/types.h>

#include <string>

namespace servicectl {

class InstallationLock {
public:
    static constexpr const char* kFileName = "tarvelsvc.lock";

    // The lock in the directory `runDir` ($TARVEL/run); nothing is opened yet.
    explicit InstallationLock(const std::string& runDir);
    // Closes the descriptor, which drops the lock if this process holds it.
    ~InstallationLock();
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

    // Takes the lock for this process and writes its pid into the file.
    // Creates the directory (mode 0700) and the file (0600) when missing;
    // refuses, with a CServiceException naming the path and the reason, a
    // directory or file that is a symbolic link, is not what it should be,
    // belongs to another user or may be written by one. An existing one keeps
    // its mode. Returns 0 once the lock is held, or the pid of the process
    // that holds it (-1 when that cannot be told).
    pid_t acquire();
    // The pid of the process that holds the lock, as the kernel tells it
    // (/proc/locks); 0 when nobody holds it or it cannot be told (no file,
    // no permission). Creates and locks nothing.
    pid_t holder() const;

    const std::string& path() const { return mPath; }

private:
    // The directory's descriptor after the checks of acquire; throws.
    int openDirectory() const;

    std::string mDir;
    std::string mPath;
    int mFd = -1;
};

// The pid of the process holding a write flock on the file with this device
// and inode according to /proc/locks; 0 when there is none.
pid_t FlockHolder(dev_t device, ino_t inode);

}  // namespace servicectl
