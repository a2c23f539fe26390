#include "foundation/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "baselib/kx_regularfile.h"

namespace foundation {

std::string OutputFileFailure(const std::string& path, int error)
{
    struct stat info;
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode) && error == ELOOP)
            return "refused: it is a symbolic link";
        // Opening a FIFO without a reader fails with ENXIO: the type, not
        // the OS's word for it, tells the operator what is wrong.
        if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
            return "refused: it is not a regular file";
    }
    return strerror(error);
}

int OpenOutputFile(const std::string& path, std::string* reason)
{
    // Appended, so that rotation by copy and truncate works. O_NONBLOCK keeps
    // a FIFO planted at the path from holding this process in open().
    int fd = open(path.c_str(),
                  O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd >= 0 && KXKeepRegularFile(fd) == ERROR_NONE)
        return fd;
    int error = errno;
    if (reason != nullptr)
        *reason = OutputFileFailure(path, error);
    errno = error;
    return -1;
}

}  // namespace foundation
