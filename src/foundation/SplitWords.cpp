#include "foundation/SplitWords.h"

std::vector<std::string> SplitWords(const std::string& text, const char* separators)
{
    std::vector<std::string> words;
    size_t start = text.find_first_not_of(separators);
    while (start != std::string::npos) {
        size_t end = text.find_first_of(separators, start);
        words.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
    }
    return words;
}
