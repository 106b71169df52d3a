// The end-to-end tests' reader of the tool's JSON Lines, kept strict so that
// output a JSON or base64 library would refuse fails the tests too.
#ifndef IMG_WHITEN_TESTS_JSON_ORACLE_H
#define IMG_WHITEN_TESTS_JSON_ORACLE_H

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// A strict reader of one JSON Lines object whose values are strings, whole
// numbers, true, false, null or arrays of such objects (the tool prints no other kind): false on
// anything RFC 8259 does not allow, such as a raw control character, a bad
// escape, invalid UTF-8 or trailing text.
struct json_value {
    enum { string, number, boolean, null, array } kind = null;
    std::string text;  // a string's value, UTF-8
    long long number_value = 0;
    bool boolean_value = false;
    std::vector<std::map<std::string, json_value>> items;  // an array's objects
};
using json_object = std::map<std::string, json_value>;

inline bool parse_json_string(const std::string& line, std::size_t& at, std::string* out) {
    if (at >= line.size() || line[at] != '"') {
        return false;
    }
    for (++at; at < line.size();) {
        const auto c = static_cast<unsigned char>(line[at]);
        if (c == '"') {
            ++at;
            return true;
        }
        if (c < 0x20) {
            return false;
        }
        if (c == '\\') {
            if (++at >= line.size()) {
                return false;
            }
            const char e = line[at++];
            const std::string simple = "\"\\/bfnrt", value = "\"\\/\b\f\n\r\t";
            if (simple.find(e) != std::string::npos) {
                out->push_back(value[simple.find(e)]);
                continue;
            }
            if (e != 'u' || at + 4 > line.size() ||
                line.find_first_not_of("0123456789abcdefABCDEF", at) < at + 4) {
                return false;
            }
            const unsigned code =
                static_cast<unsigned>(std::stoul(line.substr(at, 4), nullptr, 16));
            at += 4;
            if (code >= 0xD800 && code < 0xE000) {
                return false;  // the tool writes no surrogate pairs
            }
            if (code < 0x80) {
                out->push_back(static_cast<char>(code));
            } else if (code < 0x800) {
                out->push_back(static_cast<char>(0xC0 | code >> 6));
                out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
            } else {
                out->push_back(static_cast<char>(0xE0 | code >> 12));
                out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
                out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
            }
            continue;
        }
        // Raw bytes must be valid UTF-8 (shortest forms, no surrogates).
        std::size_t length = c < 0x80                 ? 1
                             : c >= 0xC2 && c <= 0xDF ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 0;
        if (length == 0 || at + length > line.size()) {
            return false;
        }
        unsigned code = length == 1 ? c : c & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(line[at + i]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            return false;
        }
        out->append(line, at, length);
        at += length;
    }
    return false;
}

// Reads the object at line[at], moving `at` past it.
inline bool parse_object_at(const std::string& line, std::size_t& at, json_object* object) {
    if (at >= line.size() || line[at++] != '{') {
        return false;
    }
    for (bool first = true;; first = false) {
        if (at < line.size() && line[at] == '}' && first) {
            ++at;
            return true;
        }
        std::string key;
        if (!parse_json_string(line, at, &key) || at >= line.size() || line[at++] != ':') {
            return false;
        }
        json_value value;
        if (at < line.size() && line[at] == '"') {
            value.kind = json_value::string;
            if (!parse_json_string(line, at, &value.text)) {
                return false;
            }
        } else if (at < line.size() && line[at] == '[') {
            value.kind = json_value::array;
            if (line.compare(at, 2, "[]") == 0) {
                at += 2;
            } else {
                do {
                    ++at;  // past '[' or ','
                    value.items.emplace_back();
                    if (!parse_object_at(line, at, &value.items.back())) {
                        return false;
                    }
                } while (at < line.size() && line[at] == ',');
                if (at >= line.size() || line[at++] != ']') {
                    return false;
                }
            }
        } else if (line.compare(at, 4, "null") == 0) {
            at += 4;
        } else if (line.compare(at, 4, "true") == 0 || line.compare(at, 5, "false") == 0) {
            value.kind = json_value::boolean;
            value.boolean_value = line[at] == 't';
            at += value.boolean_value ? 4 : 5;
        } else {
            const std::size_t start = at;
            while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) {
                ++at;
            }
            if (at == start || (line[start] == '0' && at - start > 1)) {
                return false;
            }
            value.kind = json_value::number;
            value.number_value = std::stoll(line.substr(start, at - start));
        }
        if (!object->emplace(key, value).second || at >= line.size()) {
            return false;  // a key twice, or cut short
        }
        if (line[at] == '}') {
            ++at;
            return true;
        }
        if (line[at++] != ',') {
            return false;
        }
    }
}

inline bool parse_json_object(const std::string& line, json_object* object) {
    std::size_t at = 0;
    return parse_object_at(line, at, object) && at == line.size();
}

inline std::vector<json_object> parse_json_lines(const std::string& out) {
    std::vector<json_object> objects;
    std::size_t from = 0;
    for (std::size_t end; (end = out.find('\n', from)) != std::string::npos; from = end + 1) {
        std::string line = out.substr(from, end - from);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        json_object object;
        EXPECT_TRUE(parse_json_object(line, &object)) << "not a JSON object: " << line;
        objects.push_back(object);
    }
    EXPECT_EQ(from, out.size()) << "the last line has no end";
    return objects;
}

// Decodes standard base64 (RFC 4648, section 4) into `out`: false on a length
// that is not a multiple of four, a character outside the alphabet, padding
// anywhere but in the last one or two places, or padded-over bits that are not 0.
inline bool base64_decode(const std::string& text, std::string* out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t padding = 0;
    while (padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    if (text.size() % 4 != 0 || padding > 2) {
        return false;
    }
    out->clear();
    unsigned bits = 0, count = 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const std::size_t value = alphabet.find(text[i]);
        if (value == std::string::npos) {
            return false;  // '=' among the data too
        }
        bits = bits << 6 | static_cast<unsigned>(value);
        if ((count += 6) >= 8) {
            out->push_back(static_cast<char>(bits >> (count -= 8) & 0xFF));
        }
        bits &= (1u << count) - 1;
    }
    return bits == 0;  // what padding covers is 0 in canonical base64
}

// The bytes of the name (a path or an entry name) under `key`: those of
// "KEY_bytes" where the tool gave them, as it does for a name that is not valid UTF-8.
inline std::string json_name(const json_object& object, const std::string& key) {
    const auto exact = object.find(key + "_bytes");
    if (exact == object.end()) {
        return object.at(key).text;
    }
    std::string decoded;
    EXPECT_TRUE(base64_decode(exact->second.text, &decoded)) << exact->second.text;
    return decoded;
}

}  // namespace e2e

#endif
