// The one escaping of texts from outside the tool, over every byte value,
// the C1 controls as UTF-8 encodes them, malformed UTF-8 and long texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "output.h"

namespace {

std::string Hex(const char *format, int byte) {
    char text[8];
    std::snprintf(text, sizeof text, format, byte);
    return text;
}

TEST(PrintableTest, EveryByteValueAndTheC1Controls) {
    for (int b = 0; b < 256; ++b) {
        const std::string one(1, static_cast<char>(b)), escaped = Hex("\\x%02X", b);
        const bool plain = b >= 0x20 && b < 0x7F;
        EXPECT_EQ(Printable(one, Shown::kLine), plain ? one : escaped) << b;
        EXPECT_EQ(Printable(one, Shown::kField), plain && b != ' ' && b != '\\' ? one : escaped);
        EXPECT_EQ(Printable(one, Shown::kLines), plain || b == '\n' || b == '\t' ? one : escaped);
        const std::string json = b == '"' || b == '\\' ? "\\" + one
                                 : plain               ? one
                                                       : Hex("\\u%04X", b);
        EXPECT_EQ(JsonString(one), "\"" + json + "\"") << b;
    }
    for (int b = 0x80; b < 0xC0; ++b) {  // C2 80 to C2 9F are the C1 controls (CSI: C2 9B)
        const std::string two = "\xC2" + std::string(1, static_cast<char>(b));
        EXPECT_EQ(Printable(two, Shown::kLine), b < 0xA0 ? "\\xC2" + Hex("\\x%02X", b) : two);
        EXPECT_EQ(JsonString(two), "\"" + Hex("\\u%04X", b) + "\"");
    }
    const struct {
        std::string text, line, json;
    } rows[] = {
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80",
         "caf\\u00E9 \\uD83D\\uDE00"},
        {"\xC0\x80", "\\xC0\\x80", "\\u00C0\\u0080"},                  // overlong NUL
        {"\xED\xA0\x80", "\\xED\\xA0\\x80", "\\u00ED\\u00A0\\u0080"},  // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80", "\\u00F4\\u0090\\u0080\\u0080"},
        {"\xE2\x82", "\\xE2\\x82", "\\u00E2\\u0082"},  // cut short
        {"1:5060\x1B]0;t\x07\x1B[2J", "1:5060\\x1B]0;t\\x07\\x1B[2J",
         "1:5060\\u001B]0;t\\u0007\\u001B[2J"},
        {"a\xE2\x80\x8E\xE2\x80\xAE\xE2\x81\xA9\xD8\x9C\xE2\x80\xA9z",  // bidi, separator
         "a\\xE2\\x80\\x8E\\xE2\\x80\\xAE\\xE2\\x81\\xA9\\xD8\\x9C\\xE2\\x80\\xA9z",
         "a\\u200E\\u202E\\u2069\\u061C\\u2029z"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(Printable(row.text, Shown::kLine), row.line);
        EXPECT_EQ(JsonString(row.text), "\"" + row.json + "\"");
    }
    EXPECT_EQ(Printable("a\r\nb\rc", Shown::kLines), "a\r\nb\\x0Dc");
}

TEST(PrintableTest, LongTextsAreCutWithTheirSize) {
    const std::string page = std::string(kShownBytes - 1, 'a') + "\xC3\xA9" + "bc";
    EXPECT_EQ(Printable(page, Shown::kLine),
              std::string(kShownBytes - 1, 'a') + "\xC3\xA9 [... 4099 bytes]");
    EXPECT_EQ(Printable(page, Shown::kLine, 3), "aaa [... 4099 bytes]");
    std::string escapes;
    for (size_t i = 0; i < kJsonTextBytes; ++i)
        escapes += "\\u001B";
    EXPECT_EQ(JsonString(std::string(4 << 20, '\x1B')), "\"" + escapes + " [... 4194304 bytes]\"");
}

TEST(PrintableTest, ProxyPasswordsAreHidden) {
    const char *const rows[][2] = {{"u:pw@10.0.0.8:3128", "u:***@10.0.0.8:3128"},
                                   {"http://u:p@s/s@h:1", "http://u:***@h:1"},
                                   {"u@h:1", "u@h:1"},
                                   {"u:pa://ss@h:1", "u:***@h:1"},
                                   {"h:1", "h:1"}};
    for (const auto &row : rows)
        EXPECT_EQ(WithoutPassword(row[0]), row[1]);
}

}  // namespace
