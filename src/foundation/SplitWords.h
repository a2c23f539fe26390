// Splitting a text into words at any of a set of separator characters.
#pragma once

#include <string>
#include <vector>

// The maximal runs of characters that are not in `separators`, in order:
// leading, trailing and repeated separators give no empty words.
std::vector<std::string> SplitWords(const std::string& text, const char* separators);
