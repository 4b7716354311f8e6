// velmora-cli loudness FILE...: per file the integrated loudness, true peak, RMS, sample peak,
// noise floor and whether the audiobook stores' rule is met, as the join's own meters read them.
#include <cstdio>
#include <string>

#include "cli/cli_commands.h"
#include "engine/join_sink.h"
#include "engine/loudness.h"

namespace velmora::cli {

const char* const kLoudnessUsage = "usage: velmora-cli loudness FILE...";

namespace {

std::string LoudnessReportLine(const std::string& path, const LoudnessMeasure& m) {
    std::string why;
    const bool meets = MeetsAudiobookRule(m, &why);
    const std::string lufs = m.silent ? std::string("silence") : FormatText("%.1f LUFS", m.lufs);
    return FormatText("%s: %s, true peak %.1f dBTP, RMS %.1f dB, peak %.1f dB, noise floor %.0f dB: %s", path.c_str(),
                      lufs.c_str(), m.truePeakDb, m.rmsDb, m.samplePeakDb, m.noiseFloorDb,
                      meets ? "meets the audiobook rule" : (why + " for the audiobook rule").c_str());
}

}  // namespace

int RunLoudness(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::printf("%s\n\n"
                    "Measures each file as the join's meters do and prints one line per file: the\n"
                    "integrated loudness (EBU R128), the true peak, the RMS (a full-scale sine reads\n"
                    "-3 dB), the highest sample, the noise floor (RMS of the quietest 500 ms) and\n"
                    "whether the audiobook rule is met: RMS -23 to -18 dB, peaks at or below -3 dB,\n"
                    "noise floor at or below -60 dB.\n"
                    "\nExit status: 0 every file measured, 1 a file could not be read, 2 bad arguments.\n",
                    kLoudnessUsage);
        return kExitDone;
    }
    if (args.empty()) {
        std::fprintf(stderr, "velmora-cli loudness: name at least one file\n%s\n", kLoudnessUsage);
        return kExitBadArguments;
    }
    int status = kExitDone;
    for (const std::string& path : args) {
        LoudnessMeasure m;
        std::string error;
        if (!MeasureLoudness(path, m, {}, 0, &error)) {
            std::fprintf(stderr, "velmora-cli loudness: %s: %s\n", path.c_str(),
                         error.empty() ? "cannot be read as audio" : error.c_str());
            status = kExitFailed;
            continue;
        }
        std::printf("%s\n", LoudnessReportLine(path, m).c_str());
        std::fflush(stdout);
    }
    return status;
}

}  // namespace velmora::cli
