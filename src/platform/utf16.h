// Conversions between UTF-16, as Windows gives paths and arguments, and the
// UTF-8 that the rest of the tool carries and prints.
#ifndef IMG_WHITEN_UTF16_H
#define IMG_WHITEN_UTF16_H

#include <cstddef>
#include <string>

namespace img_whiten {

// UTF-8 for `length` UTF-16 units. A surrogate without its partner (Windows
// file names may hold one) becomes the three-byte form of its own value, so
// utf8_to_utf16 gives back exactly the units it was made from.
std::string utf16_to_utf8(const char16_t* text, std::size_t length);

// UTF-16 for zero-terminated UTF-8, three-byte surrogate forms included. Each
// byte that starts no valid sequence becomes U+FFFD.
std::u16string utf8_to_utf16(const char* text);

#if defined(_WIN32)
// The same as a wide string, for the Windows calls that take one.
inline std::wstring utf8_to_wide(const char* text) {
    const std::u16string utf16 = utf8_to_utf16(text);
    return std::wstring(utf16.begin(), utf16.end());
}
#endif

}  // namespace img_whiten

#endif
