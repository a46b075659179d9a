#include "BenchText.h"

namespace wrapper::bench {

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t c = lead;
        std::size_t extra = 0;
        if (lead >= 0xF0) {
            c = lead & 0x07;
            extra = 3;
        } else if (lead >= 0xE0) {
            c = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xC0) {
            c = lead & 0x1F;
            extra = 1;
        }
        ++i;
        for (; extra > 0 && i < text.size(); --extra, ++i) {
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace wrapper::bench
