// The rows of the running service's `servers json` reply, read back by the
// client: -check judges the servers from them.
#pragma once

#include <string>
#include <vector>

struct ReportedServer {
    std::string endpoint;  // ADDRESS:PORT as -servers shows it
    std::string state;     // the state's name: "serving", "stopped by operator" ...
    std::string pool;      // empty when the reply names no pool
    bool ready = false;    // it serves
    unsigned long restarts = 0;
};

// Reads the JSON array of `text` into `rows` (replacing their content).
// Returns an empty string when it could, else what is wrong with the text.
// The text comes from a socket: sizes and counts are bounded.
std::string ParseServersJson(const std::string& text, std::vector<ReportedServer>& rows);
