// BeastWebSocket against the Node echo peer over TLS from the test CA.
#include "platform/net/websocket.h"

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "net_fixture.h"

namespace quendra {
namespace {

using namespace std::chrono_literals;
using test::onCore;

struct Close {
    int code;
    std::string reason;
    bool operator==(const Close&) const = default;
};

// Everything one socket reported, in order.
struct Report {
    int opens = 0;
    std::vector<std::string> messages;
    std::vector<Close> closes;
    bool offQueue = false;  // a callback arrived on another thread
};

class WebSocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::processCa(); }

    void SetUp() override {
        echo = test::startPeer("echo/server.js", {"--cert", test::processCa().serverCert, "--key",
                                                  test::processCa().serverKey});
        ASSERT_TRUE(echo);
    }

    std::string url(const std::string& path, const std::string& host = "localhost") const {
        return "wss://" + host + ":" + std::to_string(echo->port()) + path;
    }

    struct Probe {
        std::shared_ptr<WebSocketLike> socket;
        std::shared_ptr<test::Shared<Report>> report = std::make_shared<test::Shared<Report>>();

        bool waitOpen() { return report->waitUntil([](const Report& r) { return r.opens > 0 || !r.closes.empty(); }) && report->get().opens == 1; }
        bool waitMessages(size_t n) { return report->waitUntil([n](const Report& r) { return r.messages.size() >= n || !r.closes.empty(); }) && report->get().messages.size() >= n; }
        std::optional<Close> waitClose() {
            if (!report->waitUntil([](const Report& r) { return !r.closes.empty(); })) return std::nullopt;
            return report->get().closes.front();
        }
    };

    // Creates the socket on the queue and installs recording callbacks right away, as a link does.
    Probe open(const std::string& address, const std::vector<std::string>& protocols = {}, NetTuning tuning = {}) {
        Probe probe;
        auto factory = makeSocketFactory(*queue, std::move(tuning));
        auto* q = queue.get();
        probe.socket = onCore(*queue, [&, q] {
            auto socket = factory(address, protocols);
            auto report = probe.report;
            socket->onOpen = [report, q] { report->update([q](Report& r) { ++r.opens; r.offQueue |= !q->isCurrent(); }); };
            socket->onMessage = [report, q](const std::string& text) {
                report->update([&](Report& r) { r.messages.push_back(text); r.offQueue |= !q->isCurrent(); });
            };
            socket->onClose = [report, q](int code, const std::string& reason) {
                report->update([&](Report& r) { r.closes.push_back({code, reason}); r.offQueue |= !q->isCurrent(); });
            };
            return socket;
        });
        return probe;
    }

    void send(Probe& probe, const std::string& text) {
        onCore(*queue, [&] { probe.socket->send(text); });
    }

    // Long enough for a late second close report, if there were one, to show up.
    void settle() { std::this_thread::sleep_for(300ms); }

    std::unique_ptr<CoreQueue> queue = std::make_unique<CoreQueue>();
    std::unique_ptr<test::PeerProcess> echo;
};

TEST_F(WebSocketTest, OffersSubprotocolsAndPresentsTheHostName) {
    auto probe = open(url("/info"), {"realtime", "openai-beta.realtime-v1"});
    ASSERT_TRUE(probe.waitMessages(1));
    const auto info = nlohmann::json::parse(probe.report->get().messages[0]);
    EXPECT_EQ(info["offered"], (nlohmann::json{"realtime", "openai-beta.realtime-v1"}));
    EXPECT_EQ(info["protocol"], "realtime");
    EXPECT_EQ(info["servername"], "localhost");
    EXPECT_EQ(info["headers"]["host"], "localhost:" + std::to_string(echo->port()));
    EXPECT_EQ(probe.report->get().opens, 1);
    EXPECT_TRUE(onCore(*queue, [&] { return probe.socket->isOpen(); }));
}

TEST_F(WebSocketTest, NoSubprotocolHeaderWithoutProtocols) {
    auto probe = open(url("/info"));
    ASSERT_TRUE(probe.waitMessages(1));
    const auto info = nlohmann::json::parse(probe.report->get().messages[0]);
    EXPECT_EQ(info["offered"], nlohmann::json::array());
    EXPECT_FALSE(info["headers"].contains("sec-websocket-protocol"));
}

TEST_F(WebSocketTest, EchoesTextInOrderAndLargeFrames) {
    auto probe = open(url("/echo"));
    ASSERT_TRUE(probe.waitOpen());
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) sent.push_back("{\"n\":" + std::to_string(i) + ",\"t\":\"è\"}");
    std::string large(1 << 20, 'x');
    for (size_t i = 0; i < large.size(); i += 997) large[i] = static_cast<char>('a' + i % 26);
    sent.push_back(large);
    // All queued in one turn of the core queue: only one write may be in flight at a time.
    onCore(*queue, [&] {
        for (const auto& text : sent) probe.socket->send(text);
    });
    ASSERT_TRUE(probe.waitMessages(sent.size()));
    EXPECT_EQ(probe.report->get().messages, sent);
    EXPECT_FALSE(probe.report->get().offQueue);
}

TEST_F(WebSocketTest, BinaryFramesArriveAsUtf8TextWithInvalidBytesReplaced) {
    auto probe = open(url("/binary"));
    ASSERT_TRUE(probe.waitOpen());
    send(probe, R"({"serverContent":{"text":"ciao"}})");
    send(probe, "hex:66ff6fe282");  // f, a stray byte, o, a truncated three-byte sequence
    ASSERT_TRUE(probe.waitMessages(2));
    EXPECT_EQ(probe.report->get().messages[0], R"({"serverContent":{"text":"ciao"}})");
    EXPECT_EQ(probe.report->get().messages[1], "f\xEF\xBF\xBDo\xEF\xBF\xBD");
}

TEST_F(WebSocketTest, ReportsThePeersCloseCodeAndReasonOnce) {
    struct Case {
        std::string path;
        Close expected;
    };
    const Case cases[] = {
        {"/close?code=4001&reason=fine%20sessione", {4001, "fine sessione"}},
        {"/close?code=1008&reason=", {1008, ""}},
        {"/close?code=none", {1005, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto probe = open(url(c.path));
        const auto close = probe.waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(*close, c.expected);
        settle();
        EXPECT_EQ(probe.report->get().opens, 1);
        EXPECT_EQ(probe.report->get().closes.size(), 1u);
        EXPECT_FALSE(onCore(*queue, [&] { return probe.socket->isOpen(); }));
    }
}

TEST_F(WebSocketTest, AnAbruptDropIs1006WithTheErrorText) {
    auto probe = open(url("/drop"));
    ASSERT_TRUE(probe.waitOpen());
    send(probe, "x");
    const auto close = probe.waitClose();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->code, 1006);
    EXPECT_FALSE(close->reason.empty());
    settle();
    EXPECT_EQ(probe.report->get().closes.size(), 1u);
}

TEST_F(WebSocketTest, RefusesAnUntrustedCertificateAndAWrongHostName) {
    auto rogue = test::startPeer("echo/server.js", {"--cert", test::processCa().untrustedCert, "--key",
                                                    test::processCa().untrustedKey});
    ASSERT_TRUE(rogue);
    auto untrusted = open("wss://localhost:" + std::to_string(rogue->port()) + "/echo");
    auto closeUntrusted = untrusted.waitClose();
    ASSERT_TRUE(closeUntrusted);
    EXPECT_EQ(closeUntrusted->code, CloseCode::tlsFailure);
    EXPECT_NE(closeUntrusted->reason.find("certificate verify failed"), std::string::npos) << closeUntrusted->reason;
    EXPECT_EQ(untrusted.report->get().opens, 0);

    // A trusted certificate, but not for this name.
    NetTuning tuning;
    tuning.connectTo = std::vector<ConnectTo>{{"wrong.example", 0, "127.0.0.1", 0}};
    auto mismatch = open("wss://wrong.example:" + std::to_string(echo->port()) + "/echo", {}, tuning);
    auto closeMismatch = mismatch.waitClose();
    ASSERT_TRUE(closeMismatch);
    EXPECT_EQ(closeMismatch->code, CloseCode::tlsFailure);
    EXPECT_NE(closeMismatch->reason.find("hostname mismatch"), std::string::npos) << closeMismatch->reason;
    EXPECT_EQ(mismatch.report->get().opens, 0);
}

TEST_F(WebSocketTest, ARejectedUpgradeIsFinalWithItsStatusARefusedConnectionIs1006) {
    for (const int status : {401, 403, 503}) {
        SCOPED_TRACE(status);
        auto rejected = open(url("/reject?status=" + std::to_string(status)));
        auto close = rejected.waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(*close, (Close{CloseCode::httpStatusBase + status, "HTTP/1.1 " + std::to_string(status) + " Refused"}));
        EXPECT_EQ(rejected.report->get().opens, 0);
    }

    // A port nobody listens on: take a free one and let it go.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const auto port = probe.local_endpoint().port();
    probe.close();
    auto refused = open("wss://127.0.0.1:" + std::to_string(port) + "/");
    auto refusedClose = refused.waitClose();
    ASSERT_TRUE(refusedClose);
    EXPECT_EQ(refusedClose->code, 1006);
    EXPECT_FALSE(refusedClose->reason.empty());
}

TEST_F(WebSocketTest, APeerThatNeverAnswersHitsTheStepDeadline) {
    NetTuning tuning;
    tuning.stepTimeoutMs = 300;
    // The web-socket handshake is never answered.
    auto hang = open(url("/hang"), {}, tuning);
    // TCP accepted by the kernel, but TLS never spoken.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor silent(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    auto mute = open("wss://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/", {}, tuning);
    for (auto* probe : {&hang, &mute}) {
        auto close = probe->waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(close->code, 1006);
        EXPECT_NE(close->reason.find("timeout"), std::string::npos) << close->reason;
        EXPECT_EQ(probe->report->get().opens, 0);
    }
}

TEST_F(WebSocketTest, KeepAlivePingsHoldALiveLinkAndEndADeadOne) {
    // Beast pings after one idle period and gives up after another. Periods of seconds, not
    // milliseconds: a loaded machine may delay a pong by far more than a few hundred.
    NetTuning tuning;
    tuning.idleTimeoutMs = 2000;
    tuning.closeTimeoutMs = 2000;
    auto live = open(url("/echo"), {}, tuning);
    auto deaf = open(url("/deaf"), {}, tuning);
    ASSERT_TRUE(live.waitOpen());
    ASSERT_TRUE(deaf.waitOpen());
    // The deaf peer answers no ping: after two idle periods the link is given up.
    auto close = deaf.waitClose();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->code, 1006);
    EXPECT_NE(close->reason.find("timeout"), std::string::npos) << close->reason;
    // Meanwhile the live peer's pongs kept its quiet link open.
    EXPECT_TRUE(live.report->get().closes.empty());
    EXPECT_TRUE(onCore(*queue, [&] { return live.socket->isOpen(); }));
}

TEST_F(WebSocketTest, CloseReportsTheOwnersCodeOnceAndLater) {
    // Before open: the attempt is abandoned and onClose carries the owner's code.
    auto early = open(url("/echo"));
    const bool reportedInline = onCore(*queue, [&] {
        early.socket->close(1000, "annullato");
        return !early.report->get().closes.empty();
    });
    EXPECT_FALSE(reportedInline);
    auto earlyClose = early.waitClose();
    ASSERT_TRUE(earlyClose);
    EXPECT_EQ(*earlyClose, (Close{1000, "annullato"}));

    // When open: isOpen drops at once, the owner's close follows, the peer's answer is not reported.
    auto probe = open(url("/echo"));
    ASSERT_TRUE(probe.waitOpen());
    const bool openAfterClose = onCore(*queue, [&] {
        probe.socket->close(4000, "basta");
        probe.socket->send("ignored");
        return probe.socket->isOpen();
    });
    EXPECT_FALSE(openAfterClose);
    auto close = probe.waitClose();
    ASSERT_TRUE(close);
    EXPECT_EQ(*close, (Close{4000, "basta"}));
    onCore(*queue, [&] { probe.socket->close(1000, "again"); });
    settle();
    EXPECT_EQ(early.report->get().closes.size(), 1u);
    EXPECT_EQ(early.report->get().opens, 0);
    EXPECT_EQ(probe.report->get().closes.size(), 1u);
    EXPECT_TRUE(probe.report->get().messages.empty());
}

TEST_F(WebSocketTest, CallbacksMayClearThemselvesWhileRunning) {
    // As the links do: the handler drops the socket's callbacks (and so its own captures) first.
    auto done = std::make_shared<test::Shared<std::vector<std::string>>>();
    auto factory = makeSocketFactory(*queue);
    auto socket = onCore(*queue, [&] {
        auto s = factory(url("/close?code=4002&reason=via"), {});
        std::weak_ptr<WebSocketLike> weak = s;
        auto marker = std::make_shared<std::string>("closed");
        s->onClose = [weak, done, marker](int code, const std::string&) {
            if (auto self = weak.lock()) {
                self->onOpen = nullptr;
                self->onMessage = nullptr;
                self->onClose = nullptr;
            }
            done->update([&](auto& v) { v.push_back(*marker + " " + std::to_string(code)); });
        };
        return s;
    });
    ASSERT_TRUE(done->waitUntil([](const auto& v) { return !v.empty(); }));
    EXPECT_EQ(done->get(), std::vector<std::string>{"closed 4002"});
    onCore(*queue, [&] { socket.reset(); });
}

TEST_F(WebSocketTest, AnUnusableUrlIsFinalAndReportedLater) {
    for (const std::string address : {"not a url", "wss://", "https://localhost/", "wss://host:99999/", "wss://user@host/"}) {
        SCOPED_TRACE(address);
        auto probe = open(address);
        auto close = probe.waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(*close, (Close{CloseCode::invalidUrl, "indirizzo non valido"}));
        onCore(*queue, [&] { probe.socket->send("dropped"); });
        settle();
        EXPECT_EQ(probe.report->get().opens, 0);
        EXPECT_EQ(probe.report->get().closes.size(), 1u);
    }
}

TEST_F(WebSocketTest, ASubprotocolThatIsNoHeaderTokenIsRefusedBeforeConnecting) {
    // A line break would smuggle in headers of its own; the others would change the offer.
    const std::vector<std::string> refused = {"realtime\r\nX-Injected: 1", "tok\nen", "tok\ren", std::string("tok\0en", 6),
                                              "tok\x7f", "tok en", "a,b", ""};
    for (const auto& bad : refused) {
        SCOPED_TRACE(testing::PrintToString(bad));
        auto probe = open(url("/info"), {"realtime", bad});
        auto close = probe.waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(*close, (Close{CloseCode::invalidUrl, "sottoprotocollo non valido"}));
        EXPECT_EQ(probe.report->get().opens, 0);
        EXPECT_TRUE(probe.report->get().messages.empty());
    }
}

TEST_F(WebSocketTest, AMessageOverTheLimitEndsTheConnection) {
    NetTuning tuning;
    tuning.readMessageMaxBytes = 64 * 1024;
    struct Case {
        size_t bytes;
        bool arrives;
    };
    for (const Case c : {Case{64 * 1024, true}, Case{64 * 1024 + 1, false}}) {
        SCOPED_TRACE(c.bytes);
        auto probe = open(url("/echo"), {}, tuning);
        ASSERT_TRUE(probe.waitOpen());
        send(probe, std::string(c.bytes, 'a'));
        if (c.arrives) {
            ASSERT_TRUE(probe.waitMessages(1));
            EXPECT_EQ(probe.report->get().messages[0].size(), c.bytes);
            EXPECT_TRUE(probe.report->get().closes.empty());
            continue;
        }
        auto close = probe.waitClose();
        ASSERT_TRUE(close);
        EXPECT_EQ(close->code, 1006);
        EXPECT_NE(close->reason.find("oltre il limite di 65536 byte"), std::string::npos) << close->reason;
        EXPECT_TRUE(probe.report->get().messages.empty());
    }
}

TEST_F(WebSocketTest, APeerThatStopsReadingFailsTheConnectionOnceTheSendQueueIsFull) {
    NetTuning tuning;
    tuning.sendQueueMaxBytes = 256 * 1024;
    auto probe = open(url("/stall"), {}, tuning);
    ASSERT_TRUE(probe.waitMessages(1));  // the peer talks but reads nothing
    // The peer keeps talking, so no idle timeout helps; the kernel's buffers fill first, then the
    // queue. Bounded: far more than loopback buffers hold.
    const std::string chunk(64 * 1024, 'x');
    for (int batch = 0; batch < 200 && probe.report->get().closes.empty(); ++batch) {
        onCore(*queue, [&] {
            for (int i = 0; i < 16; ++i) probe.socket->send(chunk);
        });
    }
    auto close = probe.waitClose();
    ASSERT_TRUE(close);
    EXPECT_EQ(*close, (Close{1006, "coda di invio piena"}));
    EXPECT_FALSE(onCore(*queue, [&] { return probe.socket->isOpen(); }));
}

// Closing right after sending: every frame reaches the peer before the close frame (a link that
// retires or ends a connection loses none of the audio it counted as sent), also when the peer
// is slow to read them.
TEST_F(WebSocketTest, CloseDeliversWhatWasSentBeforeIt) {
    NetTuning tuning;
    tuning.sendQueueMaxBytes = 64u << 20;
    auto probe = open(url("/count?id=close"), {}, tuning);
    ASSERT_TRUE(probe.waitOpen());
    const std::string chunk(256 * 1024, 'x');
    constexpr int frames = 48;  // far more than loopback buffers hold while the peer waits
    onCore(*queue, [&] {
        for (int i = 0; i < frames; ++i) probe.socket->send(chunk);
        probe.socket->close(1000, "fine");
    });
    auto close = probe.waitClose();
    ASSERT_TRUE(close);
    EXPECT_EQ(*close, (Close{1000, "fine"})) << "reported at once, as before";

    nlohmann::json tally;
    for (int asked = 0; asked < 300; ++asked) {
        auto reader = open(url("/tally?id=close"));
        ASSERT_TRUE(reader.waitMessages(1));
        tally = nlohmann::json::parse(reader.report->get().messages.front(), nullptr, false);
        if (tally.is_object() && !tally["close"].is_null()) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(tally.is_object());
    EXPECT_EQ(tally["messages"], frames);
    EXPECT_EQ(tally["close"], 1000);
}

TEST_F(WebSocketTest, SocketsAndTheirFactoryMayOutliveTheQueue) {
    auto factory = makeSocketFactory(*queue);
    auto opened = open(url("/echo"));
    ASSERT_TRUE(opened.waitOpen());
    auto connecting = open(url("/hang"));
    queue.reset();
    // As a careless shutdown order would: use and drop the sockets from this thread afterwards.
    opened.socket->send("late");
    opened.socket->close(1000, "fine");
    EXPECT_FALSE(opened.socket->isOpen());
    auto late = factory(url("/echo"), {});
    late->close(1000, "");
    opened.socket.reset();
    connecting.socket.reset();
    late.reset();
    factory = nullptr;
    EXPECT_TRUE(opened.report->get().closes.empty());
    EXPECT_TRUE(connecting.report->get().closes.empty());
    EXPECT_TRUE(opened.report->get().messages.empty());
}

TEST_F(WebSocketTest, PlainWsWorksToo) {
    auto plain = test::startPeer("echo/server.js", {"--plain"});
    ASSERT_TRUE(plain);
    auto probe = open("ws://127.0.0.1:" + std::to_string(plain->port()) + "/echo");
    ASSERT_TRUE(probe.waitOpen());
    send(probe, "ciao");
    ASSERT_TRUE(probe.waitMessages(1));
    EXPECT_EQ(probe.report->get().messages[0], "ciao");
}

TEST_F(WebSocketTest, ConnectToRoutesAProviderHostToLoopbackAndVerifiesItsName) {
    const std::string rule = "generativelanguage.googleapis.com:443:127.0.0.1:" + std::to_string(echo->port());
    // Set before the queue reads it: the post below orders the two threads.
    setenv("OMBRIX_CONNECT_TO", rule.c_str(), 1);
    auto probe = open("wss://generativelanguage.googleapis.com/info", {"x"});
    ASSERT_TRUE(probe.waitMessages(1));
    onCore(*queue, [] { unsetenv("OMBRIX_CONNECT_TO"); });
    const auto info = nlohmann::json::parse(probe.report->get().messages[0]);
    EXPECT_EQ(info["servername"], "generativelanguage.googleapis.com");
    EXPECT_EQ(info["headers"]["host"], "generativelanguage.googleapis.com");
}

TEST_F(WebSocketTest, ManySocketsOpenedAndClosedLeaveNoDescriptorsBehind) {
    {  // warm up: the TLS context and resolver are made once
        auto probe = open(url("/echo"));
        ASSERT_TRUE(probe.waitOpen());
        onCore(*queue, [&] { probe.socket->close(1000, ""); });
        ASSERT_TRUE(probe.waitClose());
    }
    const int before = test::openDescriptors();
    for (int i = 0; i < 25; ++i) {
        auto probe = open(url("/echo"));
        if (i % 5 == 0) {  // some abandoned while connecting, some dropped by the owner unclosed
            onCore(*queue, [&] { probe.socket->close(1000, ""); });
            ASSERT_TRUE(probe.waitClose());
            continue;
        }
        ASSERT_TRUE(probe.waitOpen());
        send(probe, "n" + std::to_string(i));
        ASSERT_TRUE(probe.waitMessages(1));
        if (i % 5 == 1) {
            onCore(*queue, [&] { probe.socket.reset(); });
            continue;
        }
        onCore(*queue, [&] { probe.socket->close(1000, "fine"); });
        ASSERT_TRUE(probe.waitClose());
    }
    // Closing handshakes finish on the queue shortly after the reports.
    int after = 0;
    for (int tries = 0; tries < 100; ++tries) {
        after = test::openDescriptors();
        if (after <= before) break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(after, before);
}

}  // namespace
}  // namespace quendra
