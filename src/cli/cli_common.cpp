// Shared by the subcommands: option values, log-line and progress-bar formatting.
#include <cmath>
#include <cstdio>
#include <string>

#include "cli/cli_commands.h"
#include "settings/app_settings.h"

namespace velmora::cli {

namespace {

// Whole decimal numbers only: "128" but not "128k", " 128" or "1e2".
std::optional<long> WholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::optional<int> WholeNumberBetween(const std::string& text, int low, int high) {
    const auto n = WholeNumber(text);
    if (!n || *n < low || *n > high)
        return std::nullopt;
    return static_cast<int>(*n);
}

std::optional<int16_t> BitrateIndexForKbps(const std::string& text) {
    const auto kbps = WholeNumber(text);
    if (!kbps)
        return std::nullopt;
    for (size_t i = 0; i < BitrateTable.size(); ++i)
        if (BitrateTable[i].kbps == *kbps)
            return static_cast<int16_t>(i);
    return std::nullopt;
}

std::optional<int16_t> FrequencyIndexForText(const std::string& text) {
    if (text == "auto")
        return kDefaultFrequencyIndex;
    const auto hz = WholeNumber(text);
    if (!hz || *hz == 0)
        return std::nullopt;
    for (size_t i = 1; i < FrequencyTable.size(); ++i)
        if (FrequencyTable[i].hz == static_cast<uint32_t>(*hz))
            return static_cast<int16_t>(i);
    return std::nullopt;
}

std::optional<int16_t> ChannelModeIndexForName(const std::string& name) {
    static constexpr const char* kNames[] = {"auto", "mono", "stereo", "joint", "dual"};
    for (int16_t i = 0; i < 5; ++i)
        if (name == kNames[i])
            return i;
    return std::nullopt;
}

std::string FormatLogLine(int counter, int hours, int minutes, int seconds, const std::string& text) {
    char head[64];
    std::snprintf(head, sizeof head, "%03d %02d:%02d:%02d ", counter, hours, minutes, seconds);
    return head + text;
}

std::string FormatDuration(double seconds) {
    if (!(seconds > 0) || !std::isfinite(seconds))
        seconds = 0;
    const long long s = static_cast<long long>(seconds);
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
    return text;
}

std::string FormatProgressBar(double overallPercent, double speed, double etaSeconds, int width) {
    if (!std::isfinite(overallPercent))
        overallPercent = 0;
    // The engine's percentages are not clamped; the bar is.
    const double shown = overallPercent < 0 ? 0 : (overallPercent > 100 ? 100 : overallPercent);
    const int filled = static_cast<int>(shown * width / 100.0);
    std::string bar = "[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width - filled), '-');
    bar += "]";
    char tail[96];
    std::snprintf(tail, sizeof tail, " %6.2f%%  %6.2fx  ETA %s", shown, std::isfinite(speed) ? speed : 0.0,
                  FormatDuration(etaSeconds).c_str());
    return bar + tail;
}

}  // namespace velmora::cli
