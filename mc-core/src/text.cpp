#include "mc_core/text.hpp"

#include <cstddef>

namespace mc_core {

namespace {

// Decodes the UTF-8 code point starting at text[at]; returns its length.
std::size_t decode_at(std::string_view text, std::size_t at, char32_t& c) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (at + length > text.size()) {
        c = lead;
        return 1;
    }
    c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return length;
}

}  // namespace

bool is_unicode_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        char32_t c;
        const std::size_t length = decode_at(text, begin, c);
        if (!is_unicode_white_space(c)) break;
        begin += length;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        char32_t c;
        decode_at(text, start, c);
        if (!is_unicode_white_space(c)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace mc_core
