// Whether the servers serve, in one line: what -start and -restart print,
// what systemd's STATUS= says, and when the service counts as started.
#pragma once

#include <string>
#include <vector>


struct ServingSummary {
    unsigned serving = 0;
    unsigned total = 0;
    // Every server serves, or has failed at least once (its start, its
    // readiness), or is throttled or held: a start has nothing more to wait for.
    bool settled = true;
    bool allServing() const { return serving == total; }
    // "2 of 3 servers serving; 127.0.0.1:8003 throttled after 5 failed starts"
    std::string line;
    // "127.0.0.1:8003 (throttled)", for STATUS=; empty when all serve.
    std::string notServing;
};
