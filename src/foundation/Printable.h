// Quoting untrusted text in a message: a reply line or a terminal must get
// neither control characters nor an unbounded quote.
#pragma once

#include <cstddef>
#include <string>

// text with every byte outside printable ASCII shown as '?', cut after
// `limit` bytes with "..." appended when it was longer.
std::string PrintableExcerpt(const std::string& text, std::size_t limit = 64);
