#include "fuzz_support.h"

#include <dlfcn.h>
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "baselib/kx_file.h"
#include "foundation/Log.h"

// Host names in fuzz input must never reach a name server: this definition
// takes the place of the C library's. Numeric addresses are converted as
// usual (AI_NUMERICHOST: no lookup), "localhost" is the loopback address, a
// null node is the wildcard, and every other name does not exist.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res)
{
    typedef int (*Resolver)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const Resolver real = reinterpret_cast<Resolver>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (real == nullptr)
        return EAI_FAIL;

    struct addrinfo numeric = {};
    if (hints != nullptr)
        numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    numeric.ai_flags &= ~AI_CANONNAME;
    if (node == nullptr)
        return real(nullptr, service, &numeric, res);

    unsigned char address[sizeof(struct in6_addr)];
    if (std::strcmp(node, "localhost") == 0)
        node = numeric.ai_family == AF_INET6 ? "::1" : "127.0.0.1";
    else if (inet_pton(AF_INET, node, address) != 1 && inet_pton(AF_INET6, node, address) != 1)
        return EAI_NONAME;
    return real(node, service, &numeric, res);
}

namespace fuzz {

namespace {

// Where the log writes; kept for the life of the process.
KXFile* logSink = nullptr;

}  // namespace

void setUp()
{
    static bool done = false;
    if (done)
        return;
    done = true;

    const char* nowhere = "/nonexistent/tarvel-fuzz";
    for (const char* name : {"TARVEL", "TARVEL_CARTRIDGES", "TARVEL_PERL", "TARVEL_WEBROOT",
                             "TARVEL_CONFIG", "TARVEL_LOG"})
        setenv(name, nowhere, 1);
    unsetenv("TARVEL_IPLIST");
    unsetenv("TARVEL_IPBINDING");
    unsetenv("TARVEL_ENABLE_IPv6");

    // Millions of inputs log millions of lines; none of them is the finding.
    if (KXFileOpen(&logSink, "/dev/null", "w") != ERROR_NONE) {
        std::fprintf(stderr, "fuzz: cannot open /dev/null\n");
        std::abort();
    }
    CLog::setFileHandle(logSink);
}

std::string asFile(const uint8_t* data, std::size_t size)
{
    static int fd = -1;
    if (fd < 0) {
        fd = memfd_create("fuzz-input", MFD_CLOEXEC);
        if (fd < 0) {
            std::perror("fuzz: memfd_create");
            std::abort();
        }
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::perror("fuzz: writing the input file");
        std::abort();
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace fuzz
