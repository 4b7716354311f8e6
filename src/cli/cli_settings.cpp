// velmora-cli settings: the encoder summary line and the seven settings as loaded from the
// user's "Config.ini" (never written).
#include <cstdio>
#include <string>

#include "cli/cli_commands.h"
#include "settings/settings_store.h"

namespace velmora::cli {

const char* const kSettingsUsage = "usage: velmora-cli settings";

int RunSettings(const std::vector<std::string>& args) {
    if (!args.empty()) {
        if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
            std::printf("%s\n\nPrints the encoder summary and the settings of %s.\n", kSettingsUsage,
                        SettingsFilePath().c_str());
            return kExitDone;
        }
        std::fprintf(stderr, "velmora-cli settings: unexpected argument '%s'\n%s\n", args[0].c_str(), kSettingsUsage);
        return kExitBadArguments;
    }
    // As the window would load them: the initial values, the default output folder, then the
    // file when it exists (a missing file or key gives the defaults).
    AppSettings s;
    s.outputFolder = DefaultOutputFolder();
    std::string error;
    if (!LoadSettings(s, SettingsFilePath(), &error)) {
        std::fprintf(stderr, "velmora-cli: %s\n%s\n", kLoadSettingsFailedText, error.c_str());
        return kExitFailed;
    }
    std::printf("%s\n", EncoderSummaryText(s).c_str());
    std::printf("[%s]\n", ini::kOutputSection);
    std::printf("%s=%d\n", ini::kSameAsSrc, static_cast<int>(s.askOutputPath));
    std::printf("%s=%s\n", ini::kDesDir, s.outputFolder.c_str());
    std::printf("%s=%s\n", ini::kLastDir, s.lastFolder.c_str());
    std::printf("%s=%s\n", ini::kName, s.defaultFileName.c_str());
    std::printf("[%s]\n", ini::kMp3Section);
    std::printf("%s=%d\n", ini::kLameBits, static_cast<int>(s.bitrateIndex));
    std::printf("%s=%d\n", ini::kLameChannel, static_cast<int>(s.channelModeIndex));
    std::printf("%s=%d\n", ini::kFreq, static_cast<int>(s.frequencyIndex));
    return kExitDone;
}

}  // namespace velmora::cli
