// Captions: transcripts from both provider links' scripted sockets through the engine to the
// model, the lines they make, and the SRT and text files they are saved as.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "app/model/app_model.h"
#include "app/model/captions.h"
#include "model_fakes.h"

namespace quendra {
namespace {

using test::ModelRig;
using test::ScriptedSocket;
using Kind = TranscriptKind;

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A logged-in model on `provider` with captions as given, started, its links connected: the
// sockets of the speak and listen links, in that order.
struct CaptionsRig {
    ModelRig rig;
    std::shared_ptr<AppModel> model;
    std::shared_ptr<ScriptedSocket> speak;
    std::shared_ptr<ScriptedSocket> listen;
    std::string provider;

    CaptionsRig(const std::string& provider, bool captions) : provider(provider) {
        rig.storage->stored.provider = provider;
        rig.keychain->items["session"] = "sessione";
        rig.storage->stored.captions = captions;
        model = rig.make();
        rig.fetch.answer(rig.fetch.to("/api/me").at(0), 200,
                         R"({"email":"anna@example.it","keys":{"gemini":{},"openai":{}}})");
        rig.settle();
        model->start();
        rig.settle();
        // The speak session is made first, so its link asks for a token first.
        const auto tokens = rig.fetch.to("/api/token/" + provider);
        EXPECT_EQ(tokens.size(), 2u);
        for (size_t i = 0; i < tokens.size(); ++i) {
            rig.fetch.answer(tokens[i], 200, R"({"token":"ek_prova"})");
            rig.settle();
            (i == 0 ? speak : listen) = rig.sockets.last();
        }
        for (const auto& socket : {speak, listen}) {
            socket->deliverOpen();
            if (provider == "gemini") {
                socket->deliverMessage(R"({"setupComplete":{}})");
            } else {
                socket->deliverMessage(R"({"type":"session.created"})");
                socket->deliverMessage(R"({"type":"session.updated","session":{}})");
            }
        }
        rig.settle();
    }

    // The provider's messages for a piece of transcript; Gemini marks the end itself, OpenAI ends
    // a line after a pause.
    void say(const std::shared_ptr<ScriptedSocket>& socket, Kind kind, const std::string& piece, bool finished) {
        if (provider == "gemini") {
            const nlohmann::json message = {
                {"serverContent",
                 {{kind == Kind::input ? "inputTranscription" : "outputTranscription",
                   {{"text", piece}, {"finished", finished}}}}}};
            socket->deliverMessage(message.dump());
        } else {
            const nlohmann::json message = {
                {"type", kind == Kind::input ? "session.input_transcript.delta" : "session.output_transcript.delta"},
                {"delta", piece}};
            socket->deliverMessage(message.dump());
        }
        rig.settle();
    }

    // Gemini ends the lines still open at the end of its turn.
    void endTurn(const std::shared_ptr<ScriptedSocket>& socket) {
        if (provider == "gemini") socket->deliverMessage(R"({"serverContent":{"generationComplete":true}})");
        rig.settle();
    }

    bool askedForInputTranscription(const std::shared_ptr<ScriptedSocket>& socket) const {
        for (const auto& text : socket->sent) {
            const auto event = nlohmann::json::parse(text);
            if (event.value("type", "") == "session.update") {
                return event["session"]["audio"].value("input", nlohmann::json::object()).contains("transcription");
            }
        }
        return false;
    }
};

TEST(CaptionsFlowTest, TranscriptsOfBothLinksReachTheModelByDirectionAndKind) {
    for (const std::string provider : {"gemini", "openai"}) {
        SCOPED_TRACE(provider);
        CaptionsRig c(provider, true);
        if (provider == "openai") {
            EXPECT_TRUE(c.askedForInputTranscription(c.listen));
            EXPECT_TRUE(c.askedForInputTranscription(c.speak));
        }
        c.rig.advanceMs(2000);
        c.say(c.listen, Kind::input, "Good ", false);
        c.say(c.listen, Kind::input, "morning", false);
        // The line in progress is updated in place.
        ASSERT_EQ(c.model->captions().lines().size(), 1u);
        EXPECT_EQ(c.model->captions().lines()[0].text, "Good morning");
        EXPECT_FALSE(c.model->captions().lines()[0].final);
        c.say(c.listen, Kind::output, "Buongiorno", provider == "gemini");
        c.say(c.speak, Kind::input, "Ciao", provider == "gemini");
        c.say(c.speak, Kind::output, "Hello", provider == "gemini");
        c.endTurn(c.listen);
        c.rig.advanceMs(1500);  // OpenAI ends the lines after its pause

        const auto& lines = c.model->captions().lines();
        ASSERT_EQ(lines.size(), 4u);
        const std::tuple<std::string, Kind, std::string> expected[] = {{"listen", Kind::input, "Good morning"},
                                                                        {"listen", Kind::output, "Buongiorno"},
                                                                        {"speak", Kind::input, "Ciao"},
                                                                        {"speak", Kind::output, "Hello"}};
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].direction, std::get<0>(expected[i])) << i;
            EXPECT_EQ(lines[i].kind, std::get<1>(expected[i])) << i;
            EXPECT_EQ(lines[i].text, std::get<2>(expected[i])) << i;
            EXPECT_TRUE(lines[i].final) << i;
            // Times count from the start of the run.
            EXPECT_GE(lines[i].startMs, 2000) << i;
            EXPECT_LT(lines[i].startMs, 4000) << i;
        }
        // A new line follows a final one.
        c.say(c.listen, Kind::input, "Again", false);
        EXPECT_EQ(c.model->captions().lines().size(), 5u);
    }
}

TEST(CaptionsFlowTest, WithCaptionsOffNothingIsKeptAndOpenAIIsNotAskedToTranscribe) {
    CaptionsRig c("openai", false);
    EXPECT_FALSE(c.askedForInputTranscription(c.listen));
    c.say(c.listen, Kind::output, "Buongiorno", false);
    EXPECT_TRUE(c.model->captions().empty());
}

TEST(CaptionsFlowTest, ANewRunStartsEmptyAndTheLastRunsLateLinesStayOut) {
    CaptionsRig c("openai", true);
    c.say(c.listen, Kind::input, "unfinished", false);
    ASSERT_EQ(c.model->captions().lines().size(), 1u);
    // Stopped and started again at once: the old link finishes its line as it closes, after the
    // new run has begun.
    c.model->stop("");
    c.model->start();
    c.rig.settle();
    EXPECT_TRUE(c.model->captions().empty());
}

TEST(CaptionsTest, LinesPerDirectionAndKind) {
    Captions captions;
    auto event = [](std::string direction, Kind kind, std::string text, bool final, double ms) {
        return TranscriptEvent{std::move(direction), kind, std::move(text), final, ms, 1};
    };
    EXPECT_FALSE(captions.add(event("listen", Kind::input, "  ", false, 0)));  // nothing to show
    EXPECT_TRUE(captions.add(event("listen", Kind::input, "Hel", false, 100)));
    EXPECT_TRUE(captions.add(event("speak", Kind::input, "Io", false, 150)));
    EXPECT_TRUE(captions.add(event("listen", Kind::input, "Hello\nthere", false, 900)));
    EXPECT_TRUE(captions.add(event("listen", Kind::input, "", true, 1200)));  // ends the line, keeps its text
    EXPECT_TRUE(captions.add(event("listen", Kind::input, "Bye", true, 3000)));
    const std::vector<CaptionLine> expected = {
        {"listen", Kind::input, "Hello there", true, 100, 1200},
        {"speak", Kind::input, "Io", false, 150, 150},
        {"listen", Kind::input, "Bye", true, 3000, 3000},
    };
    EXPECT_EQ(std::vector<CaptionLine>(captions.lines().begin(), captions.lines().end()), expected);
    EXPECT_EQ(captions.last("listen", Kind::input, 1), std::vector<CaptionLine>{expected[2]});
    EXPECT_TRUE(captions.last("listen", Kind::output, 3).empty());
}

TEST(CaptionsTest, KeepsTheLastLinesAndStillUpdatesTheOneInProgress) {
    Captions captions;
    captions.add({"speak", Kind::output, "in corso", false, 0, 1});
    for (size_t i = 0; i < Captions::maxLines; ++i) captions.add({"listen", Kind::input, "riga", true, 1.0 * i, 1});
    ASSERT_EQ(captions.lines().size(), Captions::maxLines);
    // The unfinished line was let go: its next piece starts a new one.
    captions.add({"speak", Kind::output, "in corso ancora", false, 1e6, 1});
    EXPECT_EQ(captions.lines().back().text, "in corso ancora");
    EXPECT_EQ(captions.lines().size(), Captions::maxLines);
}

TEST(CaptionsTest, SrtTimes) {
    const std::pair<double, const char*> cases[] = {
        {0, "00:00:00,000"},          {3723456, "01:02:03,456"}, {59999.6, "00:01:00,000"},
        {-20, "00:00:00,000"},        {360000000, "100:00:00,000"}, {7.0, "00:00:00,007"},
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(srtTime(ms), text) << ms;
}

TEST(CaptionsTest, SavedAsSrtAndTextBesideIt) {
    Captions captions;
    captions.add({"listen", Kind::input, "Good morning", true, 2500, 1});
    captions.add({"listen", Kind::output, "Buongiorno", false, 2600, 1});
    captions.add({"listen", Kind::output, "Buongiorno a tutti", true, 4100, 1});
    captions.add({"speak", Kind::output, "Hello", true, 65000, 1});

    EXPECT_EQ(captionsSrt(captions),
              "1\n00:00:02,500 --> 00:00:03,500\nAltri: Good morning\n\n"
              "2\n00:00:02,600 --> 00:00:04,100\nAltri (traduzione): Buongiorno a tutti\n\n"
              "3\n00:01:05,000 --> 00:01:06,000\nIo (traduzione): Hello\n\n");

    const auto folder = std::filesystem::temp_directory_path() / ("ombrix-captions-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ASSERT_EQ(saveCaptions(captions, (folder / "chiamata").string()), std::nullopt);
    EXPECT_EQ(readFile(folder / "chiamata.srt"), captionsSrt(captions));
    EXPECT_EQ(readFile(folder / "chiamata.txt"),
              "[00:00:02] Altri: Good morning\n[00:00:02] Altri (traduzione): Buongiorno a tutti\n"
              "[00:01:05] Io (traduzione): Hello\n");
    // An unwritable place gives a message and leaves nothing behind.
    const auto error = saveCaptions(captions, (folder / "manca" / "x.srt").string());
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("Sottotitoli non salvati in "), std::string::npos) << *error;
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quendra
