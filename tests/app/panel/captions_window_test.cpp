// The captions window on the offscreen platform over a model on fakes; it writes a screenshot of
// a run's captions into screenshots/ of this build folder.
#include "app/panel/captions_window.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <unistd.h>

#include "app/model/model_fakes.h"
#include "app/panel/panel_test_support.h"
#include "app/panel/panel_view.h"

namespace quendra {
namespace {

using test::ModelRig;

using test::child;
using test::text;

class CaptionsWindowTest : public ::testing::Test {
protected:
    void SetUp() override { test::qtApp(); }

    // What the engine hands the model for a link's transcript in the current run.
    void transcript(const std::string& direction, TranscriptKind kind, const std::string& line, bool final) {
        rig.model->engine()->onTranscript(TranscriptEvent{direction, kind, line, final, 1000, 1});
        rig.settle();
    }

    ModelRig rig;
};

TEST_F(CaptionsWindowTest, OpensWithTheSettingShowsTheLastLinesAndSavesAfterTheRun) {
    rig.make();
    PanelView panel(rig.model);
    CaptionsWindow window(rig.model);
    EXPECT_FALSE(window.isVisible());
    child<QCheckBox>(panel, "captions")->click();
    rig.settle();
    EXPECT_TRUE(rig.model->settings().captions);
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));

    rig.model->start();
    rig.settle();
    for (int i = 1; i <= 4; ++i) {
        transcript("listen", TranscriptKind::input, "Riga detta numero " + std::to_string(i), true);
        transcript("listen", TranscriptKind::output, "Translated line number " + std::to_string(i), true);
    }
    transcript("listen", TranscriptKind::input, "And now a line in", false);
    transcript("listen", TranscriptKind::input, "And now a line in progress", false);
    transcript("speak", TranscriptKind::input, "Ciao a tutti, mi sentite?", true);
    transcript("speak", TranscriptKind::output, "Hi everyone, can you hear me?", true);

    // The last three lines of each kind, the one in progress updated in place.
    EXPECT_EQ(text(child<QLabel>(window, "listenSaid")),
              "Riga detta numero 3\nRiga detta numero 4\nAnd now a line in progress …");
    EXPECT_EQ(text(child<QLabel>(window, "listenTranslated")),
              "Translated line number 2\nTranslated line number 3\nTranslated line number 4");
    EXPECT_EQ(text(child<QLabel>(window, "speakTranslated")), "Hi everyone, can you hear me?");
    auto* save = child<QPushButton>(window, "saveCaptions");
    EXPECT_FALSE(save->isEnabled());  // not while running
    window.resize(520, 320);
    test::screenshot(&window, "captions-window");

    rig.model->stop("");
    rig.settle();
    EXPECT_TRUE(save->isEnabled());
    const auto folder = std::filesystem::temp_directory_path() / ("ombrix-captions-ui-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    window.saveTo((folder / "chiamata.srt").string());
    EXPECT_TRUE(std::filesystem::exists(folder / "chiamata.srt"));
    EXPECT_TRUE(std::filesystem::exists(folder / "chiamata.txt"));
    EXPECT_EQ(text(child<QLabel>(window, "saveResult")), "Salvati (SRT e testo).");
    window.saveTo((folder / "manca" / "x.srt").string());
    EXPECT_EQ(text(child<QLabel>(window, "saveResult")).rfind("Sottotitoli non salvati in ", 0), 0u);
    std::filesystem::remove_all(folder);

    // Closing the window switches captions off, and the panel's toggle with it.
    window.close();
    rig.settle();
    EXPECT_FALSE(rig.model->settings().captions);
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(child<QCheckBox>(panel, "captions")->isChecked());
}

}  // namespace
}  // namespace quendra
