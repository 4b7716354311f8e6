// velmora-cli loudness: the figures of files whose levels follow from how they were made, and
// the audiobook rule's verdict; and a join's --loudness preset reaching the engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "cli/cli_process.h"
#include "support/mp3_fixtures.h"

using velmora::testing::CliRun;
using velmora::testing::RunCliProcess;
using velmora::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// A 1 kHz stereo sine at `gainDb` under full scale for 3 s, then `silence` seconds of digital
// silence, with sox (no dither, so the silence stays zero).
fs::path Sine(const TempDir& dir, const std::string& name, int gainDb, int silence) {
    const fs::path p = dir / name;
    const std::string cmd = "sox -D -n -r 44100 -c 2 -b 16 '" + p.string() + "' synth 3 sine 1000 gain " +
                            std::to_string(gainDb) + " pad 0 " + std::to_string(silence);
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return p;
}

}  // namespace

TEST(CliLoudness, PrintsEachFilesFiguresAndTheAudiobookVerdict) {
    TempDir tmp;
    // At -10 dB: -10 LUFS (a 1 kHz sine on both channels reads its peak level), RMS 3 dB under
    // its peak, and no quiet stretch at all. At -17 dB with a second of silence: the three gated
    // blocks that reach into the silence hold 3/4, 1/2 and 1/4 of the tone, so 30 blocks average
    // 0.95 of it (-17.2 LUFS); the RMS over the 4 s is 1.25 dB under the tone's; the silence is
    // the noise floor.
    const fs::path loud = Sine(tmp, "loud.wav", -10, 0);
    const fs::path book = Sine(tmp, "book.wav", -17, 1);
    const fs::path missing = tmp / "missing.wav";
    const auto r = RunCliProcess(CliRun{{"loudness", loud.string(), missing.string(), book.string()}, tmp / "home"});
    EXPECT_EQ(r.status, 1);  // one file could not be read; the others were measured
    EXPECT_EQ(r.out, loud.string() +
                         ": -10.0 LUFS, true peak -10.0 dBTP, RMS -13.0 dB, peak -10.0 dB, noise floor -13 dB: too loud "
                         "and too noisy for the audiobook rule\n" +
                         book.string() +
                         ": -17.2 LUFS, true peak -17.0 dBTP, RMS -21.3 dB, peak -17.0 dB, noise floor -120 dB: meets "
                         "the audiobook rule\n");
    EXPECT_EQ(r.err.rfind("velmora-cli loudness: " + missing.string() + ": ", 0), 0u) << r.err;
    EXPECT_EQ(RunCliProcess(CliRun{{"loudness"}, tmp / "home"}).status, 2);
}

TEST(CliLoudness, AJoinsPresetSetsTheTarget) {
    TempDir tmp;
    const fs::path a = Sine(tmp, "a.wav", -10, 0);
    const fs::path b = Sine(tmp, "b.wav", -20, 0);
    const auto r = RunCliProcess(
        CliRun{{"join", "--loudness", "broadcast", "-o", (tmp / "out.mp3").string(), a.string(), b.string()}, tmp / "home"});
    ASSERT_EQ(r.status, 0) << r.err;
    // -23 LUFS, plus what the encoder takes at 128 kbit/s (0.45 dB).
    EXPECT_TRUE(std::regex_search(r.err, std::regex("a\\.wav: -10\\.0 LUFS, gain -12\\.[56] dB\n"))) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("b\\.wav: -20\\.0 LUFS, gain -2\\.[56] dB\n"))) << r.err;
    const auto out = RunCliProcess(CliRun{{"loudness", (tmp / "out.mp3").string()}, tmp / "home"});
    EXPECT_TRUE(std::regex_search(out.out, std::regex(": -23\\.0 LUFS, "))) << out.out;
}
