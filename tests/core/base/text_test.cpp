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
