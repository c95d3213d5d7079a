#include "core/base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace quendra {
namespace {

TEST(PrintableTextTest, DropsControlsAndFlattensLineBreaks) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Accesso negato", "Accesso negato"},
        {"\x1b[31mrosso\x1b[0m", "[31mrosso[0m"},
        {"riga uno\r\nriga due\tfine", "riga uno  riga due fine"},
        {std::string("nul\0dentro", 10), "nuldentro"},
        {"c1 \xC2\x9B" "2J via, \xC2\xA0 resta", "c1 2J via, \xC2\xA0 resta"},
        {"caff\xC3\xA8 \x7f", "caff\xC3\xA8 "},
    };
    for (const auto& c : cases) EXPECT_EQ(printableText(c.in), c.out) << c.in;
}

TEST(PrintableTextTest, CutsLongTextAtACharacterBoundaryWithinTheLimit) {
    const std::string longText(200000, 'x');
    const std::string cut = printableText(longText, 300);
    EXPECT_EQ(cut.size(), 300u);
    EXPECT_EQ(cut.substr(297), "\xE2\x80\xA6");

    // "è" is two bytes; a cut through it backs up to the character before.
    const std::string accented = "ab\xC3\xA8\xC3\xA8\xC3\xA8";
    EXPECT_EQ(printableText(accented, 6), "ab\xE2\x80\xA6");
    EXPECT_EQ(printableText(accented, 8), accented);
}

}  // namespace
}  // namespace quendra

namespace quendra {
namespace {

TEST(TrimWhitespaceTest, TrimsAsciiAndUnicodeSpacesAtBothEndsOnly) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {" \t\r\n x y \n", "x y"},
        {"\xC2\xA0https://a.example/\xE2\x80\xA8", "https://a.example/"},
        {"\xE3\x80\x80\xE2\x80\xAF" "a\xC2\xA0" "b\xE1\x9A\x80", "a\xC2\xA0" "b"},
        {"\xC2\x85\xE2\x80\x89", ""},
        {"caff\xC3\xA8", "caff\xC3\xA8"},  // a letter ending in a byte that a space also has
    };
    for (const auto& c : cases) EXPECT_EQ(trimWhitespace(c.in), c.out) << c.in;
}

TEST(AppendWithinTest, StopsAtTheLimitOnACharacterBoundary) {
    std::string text = "ab";
    EXPECT_TRUE(appendWithin(text, "cd", 5));
    EXPECT_EQ(text, "abcd");
    EXPECT_FALSE(appendWithin(text, "\xC3\xA8", 5));  // "è" would not fit whole
    EXPECT_EQ(text, "abcd");
    EXPECT_TRUE(appendWithin(text, "e\xC3\xA8", 5));
    EXPECT_EQ(text, "abcde");
    EXPECT_FALSE(appendWithin(text, "f", 5));
    EXPECT_EQ(text, "abcde");
}

TEST(WithoutSecretsTest, HidesEveryOccurrenceOfEachSecret) {
    EXPECT_EQ(withoutSecrets("tok-1234 e ancora tok-1234tok-1234!", {"tok-1234"}), "*** e ancora ******!");
    EXPECT_EQ(withoutSecrets("uno abcd due wxyz", {"abcd", "wxyz", ""}), "uno *** due ***");
    EXPECT_EQ(withoutSecrets("a b c", {"a"}), "a b c");  // too short to hide
}

TEST(HasControlCharactersTest, FindsC0AndDel) {
    EXPECT_FALSE(hasControlCharacters("ek_abc.DEF-123 caff\xC3\xA8"));
    for (const std::string& bad : {std::string("a\rb"), std::string("a\nb"), std::string("a\tb"),
                                  std::string("a\0b", 3), std::string("a\x7f")}) {
        EXPECT_TRUE(hasControlCharacters(bad)) << bad;
    }
}

}  // namespace
}  // namespace quendra
