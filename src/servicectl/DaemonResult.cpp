#include "servicectl/DaemonResult.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace servicectl {

namespace {

std::string FailurePath(const std::string& runDir, const std::string& name)
{
    return runDir + "/" + name + ".failed";
}

}  // namespace

void RecordDaemonFailure(const std::string& runDir, const std::string& name, int status)
{
    if (runDir.empty() || status == 0)
        return;
    int fd = open(FailurePath(runDir, name).c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    std::string text = std::to_string(status) + "\n";
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
    close(fd);
}

void ForgetDaemonFailure(const std::string& runDir, const std::string& name)
{
    if (!runDir.empty())
        unlink(FailurePath(runDir, name).c_str());
}

int TakeDaemonFailure(const std::string& runDir, const std::string& name)
{
    if (runDir.empty())
        return 0;
    std::string path = FailurePath(runDir, name);
    // Only a regular file of the run directory, and a few bytes of it.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[16] = "";
    ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    unlink(path.c_str());
    if (length <= 0)
        return 0;
    text[length] = '\0';
    int status = atoi(text);
    return status > 0 && status < 256 ? status : 1;
}

}  // namespace servicectl
