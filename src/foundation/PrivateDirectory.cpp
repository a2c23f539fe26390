#include "foundation/PrivateDirectory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace foundation {

std::string NotPrivate(const struct stat& info)
{
    if (info.st_uid != geteuid())
        return "owned by uid " + std::to_string(info.st_uid) + ", not by this service's uid " +
               std::to_string(geteuid());
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "group or others may write it";
    return std::string();
}

int OpenPrivateDirectory(const std::string& path, std::string& reason)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        reason = std::string("cannot create it: ") + strerror(errno);
        return -1;
    }
    // O_NOFOLLOW: a link planted in place of the directory would move what
    // is kept there wherever its owner likes.
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        struct stat info;
        bool link = lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
        reason = link ? "it is a symbolic link" : strerror(error);
        return -1;
    }
    struct stat info;
    reason = fstat(fd, &info) != 0 ? strerror(errno) : NotPrivate(info);
    if (!reason.empty()) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace foundation
