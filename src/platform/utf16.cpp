#include "utf16.h"

#include <cstdint>

namespace img_whiten {

namespace {

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void put_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void put_utf16(std::u16string& out, char32_t code) {
    if (code < 0x10000) {
        out += static_cast<char16_t>(code);
    } else {
        code -= 0x10000;
        out += static_cast<char16_t>(0xD800 | code >> 10);
        out += static_cast<char16_t>(0xDC00 | (code & 0x3FF));
    }
}

}  // namespace

std::string utf16_to_utf8(const char16_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        char32_t code = text[i];
        if (is_high_surrogate(code) && i + 1 < length && is_low_surrogate(text[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        put_utf8(out, code);
    }
    return out;
}

std::u16string utf8_to_utf16(const char* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::u16string out;
    std::size_t i = 0;
    while (bytes[i] != 0) {
        const unsigned char lead = bytes[i];
        // Sequence length and the smallest code it may encode (no overlong forms).
        std::size_t extra = 0;
        char32_t code = lead, least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, code = lead & 0x1Fu, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, code = lead & 0x0Fu, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, code = lead & 0x07u, least = 0x10000;
        } else if (lead >= 0x80) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        std::size_t taken = 0;
        while (taken < extra && (bytes[i + 1 + taken] & 0xC0) == 0x80) {
            code = code << 6 | (bytes[i + 1 + taken] & 0x3Fu);
            ++taken;
        }
        if (taken < extra || code < least || code > 0x10FFFF) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        put_utf16(out, code);
        i += 1 + extra;
    }
    return out;
}

}  // namespace img_whiten
