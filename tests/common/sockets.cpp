#include "common/sockets.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testutil {

namespace {

// The address of `at` in `storage`; its length, or 0 when it has none.
socklen_t AddressOf(const Endpoint& at, sockaddr_storage& storage)
{
    storage = {};
    if (!at.path.empty()) {
        auto* address = reinterpret_cast<sockaddr_un*>(&storage);
        if (at.path.size() >= sizeof address->sun_path)
            return 0;
        address->sun_family = AF_UNIX;
        memcpy(address->sun_path, at.path.c_str(), at.path.size() + 1);
        return sizeof(sockaddr_un);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(at.host.c_str(), std::to_string(at.port).c_str(), &hints, &list) != 0 ||
        list == nullptr)
        return 0;
    socklen_t length = list->ai_addrlen;
    memcpy(&storage, list->ai_addr, length);
    freeaddrinfo(list);
    return length;
}

// A new socket of `type` for `at`'s family and its address; -1 when either fails.
int SocketFor(const Endpoint& at, int type, sockaddr_storage& address, socklen_t& length)
{
    length = AddressOf(at, address);
    if (length == 0) {
        errno = EINVAL;
        return -1;
    }
    return socket(address.ss_family, type | SOCK_CLOEXEC, 0);
}

int Failed(int fd)
{
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return -1;
}

}  // namespace

int Bind(Endpoint& at, int type)
{
    sockaddr_storage address;
    socklen_t length;
    int fd = SocketFor(at, type, address, length);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return Failed(fd);
    if (at.path.empty()) {
        sockaddr_in bound{};
        socklen_t size = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            return Failed(fd);
        at.port = ntohs(bound.sin_port);
    }
    return fd;
}

int Listen(Endpoint& at, int backlog)
{
    int fd = Bind(at);
    if (fd >= 0 && listen(fd, backlog) != 0)
        return Failed(fd);
    return fd;
}

int Connect(const Endpoint& to, int type)
{
    sockaddr_storage address;
    socklen_t length;
    int fd = SocketFor(to, type, address, length);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
        return Failed(fd);
    return fd;
}

}  // namespace testutil
