#include "foundation/Printable.h"

std::string PrintableExcerpt(const std::string& text, std::size_t limit)
{
    std::string result;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        result += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    if (text.size() > limit)
        result += "...";
    return result;
}
