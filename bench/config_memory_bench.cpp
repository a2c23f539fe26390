// Peak memory of loading a large ServerConfig.xml, per shape of the
// application servers' ports, against the size of the file.
//
//   config_memory_bench [megabytes]     (default 20)
//   config_memory_bench --load FILE     load once (the measured process)
//
// Shapes, every application server on a host of its own:
//   one port           ports="9000"
//   33-port range      ports="9000-9032"
//   33 single ports    ports="9000,9002,...,9064"
// Each file is loaded by a fresh process; its peak resident set is set
// against the file size. Bound: 20 times the file size, and a port range
// may cost no more per byte of file than a single port.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bench_process.h"
#include "config/XMLConfig.h"

namespace {

struct Shape {
    const char* name;
    std::string ports;
};

std::string singlePorts(int count, int step)
{
    std::string ports;
    for (int i = 0; i < count; ++i)
        ports += (i ? "," : "") + std::to_string(9000 + i * step);
    return ports;
}

// Writes the landscape line by line, so that this process stays small.
long long writeLandscape(const std::string& path, const Shape& shape, long long bytes, long* servers)
{
    std::ofstream out(path, std::ios::binary);
    out << "<?xml version=\"1.0\"?>\n<config>\n<requestrouters>\n"
           "  <requestrouter name=\"rr\" host=\"10.255.0.1\" port=\"8000\"/>\n</requestrouters>\n"
           "<pools>\n<pool name=\"pool\">\n<requestrouters><requestrouter>rr</requestrouter>"
           "</requestrouters>\n<appservers>\n";
    long n = 0;
    while (out.tellp() < bytes) {
        out << "  <appserver host=\"10." << (n >> 16 & 255) << "." << (n >> 8 & 255) << "."
            << (n & 255) << "\" ports=\"" << shape.ports << "\"/>\n";
        ++n;
    }
    out << "</appservers>\n</pool>\n</pools>\n<cacheservers>\n"
           "  <server host=\"10.255.0.2\" port=\"7000\"/>\n</cacheservers>\n</config>\n";
    *servers = n;
    return out.tellp();
}

}  // namespace

int main(int argc, char** argv)
{
    int childStatus = 0;
    if (bench::runChildMode(argc, argv, [](XMLConfig::CConfigFile&) { return 0; }, &childStatus))
        return childStatus;
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 20;
    const long long bytes = (megabytes > 0 ? megabytes : 20) * 1000 * 1000;

    char dir[] = "/tmp/config-memory-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string self = bench::selfPath();
    long idleKb = 0;
    bench::runMeasured({self, "--idle"}, &idleKb);

    const Shape shapes[] = {
        {"one port", "9000"},
        {"33-port range", "9000-9032"},
        {"33 single ports", singlePorts(33, 2)},
    };
    std::printf("peak resident set of a process that loads the file (idle process: %ld KiB)\n",
                idleKb);
    std::printf("  %-16s %10s %9s %11s %10s %12s\n", "shape", "file MB", "servers", "peak MiB",
                "peak/file", "per byte/1p");
    int result = 0;
    double onePortRatio = 0;
    for (const Shape& shape : shapes) {
        const std::string path = std::string(dir) + "/ServerConfig.xml";
        long servers = 0;
        const long long size = writeLandscape(path, shape, bytes, &servers);
        long peakKb = 0;
        const int status = bench::runMeasured({self, "--load", path}, &peakKb);
        unlink(path.c_str());
        if (status != 0) {
            std::fprintf(stderr, "%s: the load failed (status %d)\n", shape.name, status);
            result = 1;
            continue;
        }
        const double ratio = peakKb * 1024.0 / static_cast<double>(size);
        if (onePortRatio == 0)
            onePortRatio = ratio;
        std::printf("  %-16s %10.2f %9ld %11.1f %10.2f %12.2f\n", shape.name, size / 1e6, servers,
                    peakKb / 1024.0, ratio, ratio / onePortRatio);
        if (ratio > 20 || ratio > onePortRatio * 1.05)
            result = 1;
    }
    rmdir(dir);
    std::printf("%s\n", result == 0 ? "within bounds" : "OUT OF BOUNDS");
    return result;
}
