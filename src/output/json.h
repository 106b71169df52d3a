// JSON text for the --json output: strings from paths and entry names, which
// are bytes and need not be valid UTF-8.
#ifndef IMG_WHITEN_JSON_H
#define IMG_WHITEN_JSON_H

#include <cstddef>
#include <string>

namespace img_whiten {

// The length of the valid UTF-8 sequence that starts at `at` (one to four
// bytes; the terminator counts as one), or 0 when none does.
std::size_t utf8_sequence(const char* at);

// Appends `text` to `out` as a JSON string (RFC 8259): valid UTF-8 as it is,
// with '"', '\\' and control characters (C1 controls too) escaped; each byte that is not part
// of valid UTF-8 as the escape \u00XX of its value, which is lossy. Returns
// false when there was such a byte: the exact bytes are then worth giving
// too (json_bytes).
bool append_json_string(std::string& out, const char* text);

// `text`'s bytes as a JSON string of their base64 encoding (RFC 4648).
std::string json_bytes(const char* text);

}  // namespace img_whiten

#endif
