#include "servicectl/InstallationLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/Exceptions.h"
#include "foundation/PrivateDirectory.h"

namespace servicectl {

namespace {

const char kPlace[] = "CDaemonController: ";

[[noreturn]] void Refuse(const std::string& what, const std::string& path,
                         const std::string& reason)
{
    throw CServiceException(std::string(kPlace) + what + " " + path + " refused (" + reason + ")",
                            0);
}

// The pid written into the lock file by its holder; -1 when there is none.
pid_t WrittenPid(int fd)
{
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    char* end = nullptr;
    long pid = n > 0 ? strtol(text, &end, 10) : 0;
    return pid > 0 && pid < (1L << 22) && end != text ? static_cast<pid_t>(pid) : -1;
}

}  // namespace

pid_t FlockHolder(dev_t device, ino_t inode)
{
    FILE* file = fopen("/proc/locks", "re");
    if (file == nullptr)
        return 0;
    char line[256];
    pid_t found = 0;
    // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10952798 0 EOF"; a waiter's line
    // has "->" before FLOCK and does not match.
    while (found == 0 && fgets(line, sizeof line, file) != nullptr) {
        char kind[16], mode[16];
        int pid;
        unsigned major_, minor_;
        unsigned long number;
        if (sscanf(line, "%*d: FLOCK %15s %15s %d %x:%x:%lu", kind, mode, &pid, &major_, &minor_,
                   &number) == 6 &&
            strcmp(mode, "WRITE") == 0 && pid > 0 && major_ == major(device) &&
            minor_ == minor(device) && number == inode)
            found = pid;
    }
    fclose(file);
    return found;
}

InstallationLock::InstallationLock(const std::string& runDir)
    : mDir(runDir), mPath(runDir + "/" + kFileName)
{
}

InstallationLock::~InstallationLock()
{
    if (mFd >= 0)
        close(mFd);
}

int InstallationLock::openDirectory() const
{
    std::string reason;
    int fd = foundation::OpenPrivateDirectory(mDir, reason);
    if (fd < 0)
        Refuse("directory", mDir, reason);
    return fd;
}

pid_t InstallationLock::acquire()
{
    int dir = openDirectory();
    int fd = openat(dir, kFileName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    int error = errno;
    close(dir);
    if (fd < 0)
        Refuse("lock file", mPath, error == ELOOP ? "it is a symbolic link" : strerror(error));
    struct stat info;
    std::string problem = fstat(fd, &info) != 0 ? strerror(errno)
                          : !S_ISREG(info.st_mode) ? "it is not a regular file"
                                                   : foundation::NotPrivate(info);
    if (problem.empty() && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            pid_t holder = FlockHolder(info.st_dev, info.st_ino);
            if (holder == 0)
                holder = WrittenPid(fd);
            close(fd);
            return holder;
        }
        problem = std::string("cannot lock it: ") + strerror(errno);
    }
    if (!problem.empty()) {
        close(fd);
        Refuse("lock file", mPath, problem);
    }
    // For the operator's eyes only: the kernel's record of the lock is what
    // the controller trusts, so a failed write costs nothing but this note.
    // Written over the last holder's pid, and cut only where that was
    // longer: a truncation to nothing first can wait for the file system's
    // journal, at every start of the service.
    std::string text = std::to_string(getpid()) + "\n";
    const ssize_t written = pwrite(fd, text.data(), text.size(), 0);
    if (written == static_cast<ssize_t>(text.size()) && info.st_size > written)
        static_cast<void>(ftruncate(fd, written));
    mFd = fd;
    return 0;
}

pid_t InstallationLock::holder() const
{
    struct stat info;
    if (lstat(mPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    return FlockHolder(info.st_dev, info.st_ino);
}

}  // namespace servicectl
