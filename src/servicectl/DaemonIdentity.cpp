#include "servicectl/DaemonIdentity.h"

#include "foundation/Log.h"
#include "servicectl/ProcessState.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace servicectl {

namespace {

const char kDeletedSuffix[] = " (deleted)";
const char kTarvelPrefix[] = "TARVEL=";
// The kernel caps a process's environment well below this.
constexpr size_t kEnvironLimit = 16u << 20;

}  // namespace

std::string WithoutDeletedSuffix(const std::string& path)
{
    size_t length = sizeof kDeletedSuffix - 1;
    if (path.size() > length && path.compare(path.size() - length, length, kDeletedSuffix) == 0)
        return path.substr(0, path.size() - length);
    return path;
}

int ReadProcessTarvel(pid_t pid, std::string& value)
{
    std::string path = "/proc/" + std::to_string(pid) + "/environ";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Entries are NUL-terminated; only the start of each one is kept, up to
    // the prefix, and the value of the first TARVEL entry.
    const size_t prefix = sizeof kTarvelPrefix - 1;
    std::string entry;
    bool keep = true;  // the entry may still be TARVEL
    size_t total = 0;
    int result = 0;
    char buffer[8192];
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 || (total += static_cast<size_t>(length)) > kEnvironLimit) {
            result = -1;
            break;
        }
        if (length == 0)
            break;
        for (ssize_t i = 0; i < length && result == 0; ++i) {
            char c = buffer[i];
            if (c == '\0') {
                if (keep && entry.size() >= prefix) {
                    value = entry.substr(prefix);
                    result = 1;
                }
                entry.clear();
                keep = true;
            } else if (keep) {
                entry += c;
                if (entry.size() <= prefix && kTarvelPrefix[entry.size() - 1] != c)
                    keep = false;
            }
        }
        if (result != 0)
            break;
    }
    close(fd);
    return result;
}

namespace {

DaemonState CheckProcess(pid_t pid)
{
    std::string ownExe;
    if (!ReadExeLink(getpid(), ownExe)) {
        KXLogWrite(CLog::_pKXLog,
                   "isDaemonPIDAlive(): could not find executable information in /proc");
        return DaemonState::Unverified;
    }
    std::string daemonExe;
    if (!ReadExeLink(pid, daemonExe)) {
        int error = errno;
        if (ProcessEnded(pid))
            return DaemonState::Dead;
        return error == EACCES || error == EPERM ? DaemonState::Unverified
                                                 : DaemonState::Foreign;
    }
    if (WithoutDeletedSuffix(daemonExe) != WithoutDeletedSuffix(ownExe))
        return DaemonState::Foreign;

    int same = CompareTarvel(pid);
    if (same < 0)
        return ProcessEnded(pid) ? DaemonState::Dead : DaemonState::Unverified;
    return same == 1 ? DaemonState::Ours : DaemonState::Foreign;
}

}  // namespace

int CompareTarvel(pid_t pid)
{
    std::string daemonTarvel;
    int found = ReadProcessTarvel(pid, daemonTarvel);
    if (found < 0)
        return -1;
    const char* ownTarvel = getenv("TARVEL");
    bool same = found == 0 ? ownTarvel == nullptr
                           : ownTarvel != nullptr && daemonTarvel == ownTarvel;
    return same ? 1 : 0;
}

DaemonState CheckDaemon(pid_t pid)
{
    // The handle holds on to this very process while /proc is read.
    ProcessHandle process(pid);
    return CheckDaemon(process);
}

DaemonState CheckDaemon(const ProcessHandle& process)
{
    pid_t pid = process.pid();
    if (pid <= 0 || process.Ended())
        return DaemonState::Dead;
    DaemonState state = CheckProcess(pid);
    // Answers read after the process ended were about whoever has its id now.
    return process.Ended() ? DaemonState::Dead : state;
}

std::string EscapeName(const std::string& name)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            text += "\\x";
            text += kHex[c >> 4];
            text += kHex[c & 0xf];
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace servicectl
