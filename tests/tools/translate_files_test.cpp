// The translator's file ends on their own: the input read as the run needs it, the output written
// beside its destination and put in place only at the end.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "support/speech.h"
#include "tools/audio_file_feed.h"
#include "tools/wav_output.h"

namespace quendra {
namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TranslateToolFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ombrix-files-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // A 16-bit WAV file of `frames` frames whose channel c holds the constant levels[c].
    std::string writeWav(const std::string& name, int rateHz, const std::vector<float>& levels, sf_count_t frames) {
        const std::string path = dir + "/" + name;
        SF_INFO info{};
        info.samplerate = rateHz;
        info.channels = static_cast<int>(levels.size());
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
        if (file == nullptr) return path;
        std::vector<float> block(levels.size() * 4096);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = levels[i % levels.size()];
        for (sf_count_t done = 0; done < frames;) {
            const sf_count_t n = std::min<sf_count_t>(4096, frames - done);
            sf_writef_float(file, block.data(), n);
            done += n;
        }
        sf_close(file);
        return path;
    }

    std::string dir;
};

TEST_F(TranslateToolFilesTest, FeedReadsTheFileAsTheChunksAreTakenAndMixesItToMono) {
    // 20 s of 48 kHz stereo: left 0.5, right 0.
    const auto path = writeWav("long.wav", 48000, {0.5f, 0.0f}, 20 * 48000);
    auto feed = AudioFileFeed::open(path);
    ASSERT_TRUE(feed.has_value()) << feed.error();
    EXPECT_DOUBLE_EQ((*feed)->seconds(), 20.0);

    const auto first = (*feed)->next();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 1600u);
    // One chunk needs 100 ms of the file (4800 frames), read in blocks: not the whole file.
    EXPECT_LE((*feed)->framesRead(), 4800 + 1024);

    std::size_t chunks = 1;
    std::vector<std::int16_t> last;
    while (auto chunk = (*feed)->next()) {
        EXPECT_EQ(chunk->size(), 1600u);
        last = std::move(*chunk);
        ++chunks;
    }
    EXPECT_EQ((*feed)->framesRead(), 20 * 48000);
    EXPECT_FALSE((*feed)->readError().has_value());
    // 20 s at 16000 Hz is 200 chunks; the resampler's last fraction of a sample may start one more.
    EXPECT_GE(chunks, 200u);
    EXPECT_LE(chunks, 201u);
    // The channels are averaged: 0.25 once the low-pass has settled, in the second chunk.
    auto again = AudioFileFeed::open(path);
    ASSERT_TRUE(again.has_value());
    (void)(*again)->next();
    const auto second = (*again)->next();
    ASSERT_TRUE(second.has_value());
    EXPECT_NEAR((*second)[800], 0.25 * 32767, 40);
}

TEST_F(TranslateToolFilesTest, FeedRefusesEmptyFilesAndAbsurdRates) {
    struct Case {
        int rateHz;
        sf_count_t frames;
        std::string message;  // empty: accepted
    };
    const Case cases[] = {
        {1, 100, "Frequenza di campionamento non gestita"},
        {999, 100, "Frequenza di campionamento non gestita"},
        {1000, 100, ""},
        {384000, 100, ""},
        {384001, 100, "Frequenza di campionamento non gestita"},
        {16000, 0, "Il file audio è vuoto"},
    };
    for (const auto& c : cases) {
        const auto path = writeWav("rate-" + std::to_string(c.rateHz) + ".wav", c.rateHz, {0.1f}, c.frames);
        const auto feed = AudioFileFeed::open(path);
        if (c.message.empty()) {
            EXPECT_TRUE(feed.has_value()) << c.rateHz << ": " << feed.error();
        } else {
            ASSERT_FALSE(feed.has_value()) << c.rateHz;
            EXPECT_NE(feed.error().find(c.message), std::string::npos) << feed.error();
            EXPECT_NE(feed.error().find(path), std::string::npos) << feed.error();
        }
    }
}

TEST_F(TranslateToolFilesTest, OutputRefusesTheInputHoweverItIsNamed) {
    fs::create_directory(dir + "/sub");
    const std::string input = dir + "/in.wav";
    std::ofstream(input) << "the recording";
    fs::create_symlink(input, dir + "/link.wav");
    fs::create_hard_link(input, dir + "/hard.wav");
    const std::string spellings[] = {input, dir + "/./in.wav", dir + "/sub/../in.wav", dir + "/link.wav",
                                     dir + "/hard.wav"};
    for (const auto& out : spellings) {
        const auto output = WavOutput::create(out, input, 24000);
        ASSERT_FALSE(output.has_value()) << out;
        EXPECT_NE(output.error().find("file stesso da tradurre"), std::string::npos) << output.error();
    }
    // Relative to the working folder as well.
    const auto cwd = fs::current_path();
    fs::current_path(dir);
    const auto relative = WavOutput::create("./in.wav", "in.wav", 24000);
    fs::current_path(cwd);
    EXPECT_FALSE(relative.has_value());
    EXPECT_EQ(contents(input), "the recording");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4) << "no file left behind";
}

TEST_F(TranslateToolFilesTest, OutputRefusesDestinationsItCannotReplace) {
    fs::create_directory(dir + "/folder");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir + "/folder", "L'uscita è una cartella: " + dir + "/folder"},
        {dir + "/missing/out.wav", "La cartella di uscita non esiste: " + dir + "/missing"},
        {"/dev/null", "L'uscita non è un file normale: /dev/null"},
        {"/proc/ombrix.wav", "Non posso scrivere nella cartella di uscita /proc"},
    };
    for (const auto& c : cases) {
        const auto output = WavOutput::create(c.path, dir + "/in.wav", 24000);
        ASSERT_FALSE(output.has_value()) << c.path;
        EXPECT_NE(output.error().find(c.message), std::string::npos) << output.error();
    }
}

TEST_F(TranslateToolFilesTest, OutputIsWrittenAsItGoesAndReplacesTheOldFileOnlyOnCommit) {
    const std::string path = dir + "/out.wav";
    std::ofstream(path) << "previous translation";
    ::chmod(path.c_str(), 0640);
    const std::vector<float> second(24000, 0.25f);
    {
        auto output = WavOutput::create(path, dir + "/in.wav", 24000);
        ASSERT_TRUE(output.has_value()) << output.error();
        ASSERT_TRUE((*output)->write(second.data(), second.size()));
        // Already on disk, beside the old file, which is untouched.
        struct stat info{};
        ASSERT_EQ(::stat((*output)->temporaryPath().c_str(), &info), 0);
        EXPECT_GE(info.st_size, 48000);
        EXPECT_EQ(fs::path((*output)->temporaryPath()).parent_path(), fs::path(dir));
        EXPECT_EQ(contents(path), "previous translation");
        // Abandoned: the old file stays, the temporary one goes.
    }
    EXPECT_EQ(contents(path), "previous translation");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    auto output = WavOutput::create(path, dir + "/in.wav", 24000);
    ASSERT_TRUE(output.has_value());
    ASSERT_TRUE((*output)->write(second.data(), second.size()));
    ASSERT_TRUE((*output)->write(second.data(), 12000));
    const auto committed = (*output)->commit();
    ASSERT_TRUE(committed.has_value()) << committed.error();
    EXPECT_EQ((*output)->frames(), 36000);
    const auto written = test::readWav(path);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->sampleRate, 24000);
    ASSERT_EQ(written->samples.size(), 36000u);
    EXPECT_NEAR(written->samples[30000], 0.25, 1e-4);
    struct stat info{};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the replaced file keeps its permissions";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(TranslateToolFilesTest, OutputThroughASymbolicLinkReplacesTheFileItNames) {
    fs::create_directory(dir + "/real");
    std::ofstream(dir + "/real/target.wav") << "old";
    fs::create_symlink(dir + "/real/target.wav", dir + "/out.wav");
    auto output = WavOutput::create(dir + "/out.wav", dir + "/in.wav", 24000);
    ASSERT_TRUE(output.has_value()) << output.error();
    const std::vector<float> samples(480, 0.1f);
    ASSERT_TRUE((*output)->write(samples.data(), samples.size()));
    ASSERT_TRUE((*output)->commit().has_value());
    EXPECT_TRUE(fs::is_symlink(dir + "/out.wav"));
    const auto written = test::readWav(dir + "/real/target.wav");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->samples.size(), 480u);
}

}  // namespace
}  // namespace quendra
