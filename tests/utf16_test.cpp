// UTF-16 paths as Windows gives them, carried as UTF-8 and opened again as UTF-16.
#include "utf16.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(utf16, round_trips_every_path_windows_can_name) {
    const struct {
        const char* name;
        std::u16string utf16;
        std::string utf8;
    } cases[] = {
        {"ascii", u"C:\\assets\\models.img", "C:\\assets\\models.img"},
        {"cyrillic", u"Документы\\модели.img", "Документы\\модели.img"},
        {"cjk", u"模型\\車.img", "模型\\車.img"},
        {"emoji outside the BMP", u"\U0001F697.img", "\xF0\x9F\x9A\x97.img"},
        {"last code point", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {"empty", u"", ""},
        // A lone surrogate is legal in an NTFS name; it keeps its own value.
        {"lone high surrogate", std::u16string{u'a', char16_t(0xD83D), u'b'},
         "a\xED\xA0\xBD"
         "b"},
        {"lone low surrogate at the end", std::u16string{u'a', char16_t(0xDE97)}, "a\xED\xBA\x97"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(img_whiten::utf16_to_utf8(c.utf16.data(), c.utf16.size()), c.utf8);
        EXPECT_TRUE(img_whiten::utf8_to_utf16(c.utf8.c_str()) == c.utf16);
    }
}

TEST(utf16, replaces_each_byte_that_starts_no_valid_sequence) {
    const struct {
        const char* name;
        std::string utf8;
        std::u16string utf16;
    } cases[] = {
        {"stray continuation byte", "a\x80z", u"a\uFFFDz"},
        {"cut before the terminator", "a\xE6\xA8", u"a\uFFFD\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three bytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"latin-1 name", "caf\xE9.img", u"caf\uFFFD.img"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(img_whiten::utf8_to_utf16(c.utf8.c_str()) == c.utf16);
    }
}

}  // namespace
