#include "platform/net/connect_to.h"
#include "platform/net/url.h"
#include "platform/net/utf8.h"

#include <gtest/gtest.h>

namespace quendra {
namespace {

TEST(UrlTest, ParsesTheFourSchemes) {
    struct Case {
        std::string text;
        std::optional<ParsedUrl> url;
        std::string hostHeader;
    };
    const Case cases[] = {
        {"wss://Generativelanguage.googleapis.com/ws/x.y?key=1#frag",
         ParsedUrl{"wss", "generativelanguage.googleapis.com", 443, "/ws/x.y?key=1"}, "generativelanguage.googleapis.com"},
        {"WS://127.0.0.1:8080", ParsedUrl{"ws", "127.0.0.1", 8080, "/"}, "127.0.0.1:8080"},
        {"https://[::1]:4443?q", ParsedUrl{"https", "::1", 4443, "/?q"}, "[::1]:4443"},
        {"http://h:80/p", ParsedUrl{"http", "h", 80, "/p"}, "h"},
        {"", std::nullopt, ""},
        {"example.org/x", std::nullopt, ""},
        {"ftp://example.org/", std::nullopt, ""},
        {"wss://", std::nullopt, ""},
        {"wss://a b/", std::nullopt, ""},
        {"wss://host:0/", std::nullopt, ""},
        {"wss://host:65536/", std::nullopt, ""},
        {"wss://host:/", std::nullopt, ""},
        {"wss://user:pw@host/", std::nullopt, ""},
        {"wss://[zz]/", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = parseUrl(c.text);
        EXPECT_EQ(got, c.url);
        if (got) {
            EXPECT_EQ(got->hostHeader(), c.hostHeader);
        }
    }
}

TEST(UrlTest, RepairsInvalidUtf8LikeBrowsers) {
    struct Case {
        std::string in, out;
    };
    const std::string r = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"ciao è 日本 😀", "ciao è 日本 😀"},
        {"a\xFF" "b", "a" + r + "b"},
        {"\xE2\x82", r},                       // truncated sequence at the end: one replacement
        {"\xE2\x82" "A", r + "A"},             // truncated in the middle
        {"\xC0\xAF", r + r},                   // overlong encoding
        {"\xED\xA0\x80", r + r + r},           // UTF-16 surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},   // beyond U+10FFFF
        {"\x80", r},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(repairUtf8(c.in), c.out);
}

TEST(ConnectToTest, ParsesRulesAndRoutesTheFirstMatch) {
    const auto rules = parseConnectTo("api.openai.com:443:127.0.0.1:9001, :8443:[::1]:, Example.org:::9002");
    ASSERT_TRUE(rules.has_value());
    EXPECT_EQ(*rules, (std::vector<ConnectTo>{{"api.openai.com", 443, "127.0.0.1", 9001},
                                              {"", 8443, "::1", 0},
                                              {"example.org", 0, "", 9002}}));
    struct Case {
        std::string host;
        std::uint16_t port;
        Endpoint expected;
    };
    const Case cases[] = {
        {"api.openai.com", 443, {"127.0.0.1", 9001}},
        {"API.OpenAI.com", 443, {"127.0.0.1", 9001}},
        {"api.openai.com", 444, {"api.openai.com", 444}},
        {"anything", 8443, {"::1", 8443}},
        {"example.org", 1, {"example.org", 9002}},
    };
    for (const auto& c : cases) EXPECT_EQ(routeConnection(*rules, c.host, c.port), c.expected) << c.host;
    EXPECT_EQ(routeConnection({}, "h", 1), (Endpoint{"h", 1}));
}

TEST(ConnectToTest, RefusesMalformedRules) {
    for (const std::string text : {"host", "host:443", "host:443:other", "host:x:other:1", "host:443:other:70000",
                                   "[::1:443:a:1", "ok:1:a:1,bad"}) {
        EXPECT_FALSE(parseConnectTo(text).has_value()) << text;
    }
    EXPECT_EQ(parseConnectTo(""), std::vector<ConnectTo>{});
}

}  // namespace
}  // namespace quendra
