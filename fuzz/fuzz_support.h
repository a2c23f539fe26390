// What every fuzz harness shares: a quiet process log, an installation
// environment that points nowhere, a resolver that never leaves the host,
// and a way to hand fuzz input to code that wants a file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Once per process: the log goes to /dev/null, TARVEL and friends name a
// directory that does not exist, IPv6 is off.
void setUp();

// A file descriptor whose path (/proc/self/fd/N) reads back `data`;
// rewritten on every call, never touches the disk.
std::string asFile(const uint8_t* data, std::size_t size);

}  // namespace fuzz
