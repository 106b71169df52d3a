// JSON text for the --json output: strings from paths and entry names, which
// are bytes and need not be valid UTF-8.
#ifndef IMG_WHITEN_JSON_H
#define IMG_WHITEN_JSON_H

#include <string>

namespace img_whiten {

// Appends `text` to `out` as a JSON string (RFC 8259): valid UTF-8 as it is,
// with '"', '\\' and control characters escaped; each byte that is not part
// of valid UTF-8 as the escape \u00XX of its value, which is lossy. Returns
// false when there was such a byte: the exact bytes are then worth giving
// too (json_bytes).
bool append_json_string(std::string& out, const char* text);

// `text`'s bytes as a JSON string of their base64 encoding (RFC 4648).
std::string json_bytes(const char* text);

}  // namespace img_whiten

#endif
