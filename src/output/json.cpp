#include "json.h"

#include <cstring>

namespace img_whiten {

namespace {

void append_escape(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789abcdef";
    out += "\\u00";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

}  // namespace

std::size_t utf8_sequence(const char* text) {
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    const unsigned char lead = at[0];
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    // Each byte is checked before the next is looked at: the terminator stops the scan.
    if (at[1] < low || at[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (at[i] < 0x80 || at[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

bool append_json_string(std::string& out, const char* text) {
    bool valid = true;
    out += '"';
    const auto* at = reinterpret_cast<const unsigned char*>(text);
    while (*at != 0) {
        const unsigned char c = *at;
        const std::size_t length = utf8_sequence(reinterpret_cast<const char*>(at));
        if (length == 0) {
            valid = false;
            append_escape(out, c);
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            append_escape(out, c);
        } else if (c == 0xC2 && at[1] <= 0x9F) {
            append_escape(out, at[1]);  // a C1 control: never raw to a terminal
        } else {
            out.append(reinterpret_cast<const char*>(at), length);
        }
        at += length;
    }
    out += '"';
    return valid;
}

std::string json_bytes(const char* text) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::size_t length = std::strlen(text);
    std::string out = "\"";
    for (std::size_t i = 0; i < length; i += 3) {
        const unsigned value = static_cast<unsigned>(bytes[i]) << 16 |
                               (i + 1 < length ? static_cast<unsigned>(bytes[i + 1]) << 8 : 0u) |
                               (i + 2 < length ? static_cast<unsigned>(bytes[i + 2]) : 0u);
        out += alphabet[value >> 18 & 63];
        out += alphabet[value >> 12 & 63];
        out += i + 1 < length ? alphabet[value >> 6 & 63] : '=';
        out += i + 2 < length ? alphabet[value & 63] : '=';
    }
    out += '"';
    return out;
}

}  // namespace img_whiten
