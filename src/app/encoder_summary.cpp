#include "app/encoder_summary.h"

namespace velmora {

QString EncoderSummaryText(const AppSettings& settings) {
    // Every index goes through the bounds-checked accessors: a hand-edited "Config.ini" may
    // hold any number, and the summary then names what a join will really use (the field's
    // initial value), rather than reading outside a table or showing nothing.
    const int kbps = BitrateKbps(settings.bitrateIndex);
    const int16_t freq = ValidFrequencyIndex(settings.frequencyIndex);
    QString rate = freq == 0
        ? QString::asprintf("CBR %3d kbps; Automatic Frequency;", kbps)
        : QString::asprintf("CBR %3d kbps; %5d Hz;", kbps, int(FrequencyHz(freq)));
    static const char* const kChannel[] = {" Automatic Channel;", " Mono;", " Stereo;",
                                           " Joint Stereo;", " Dual Channel;"};
    const QString channel = QString::fromLatin1(kChannel[ValidChannelModeIndex(settings.channelModeIndex)]);
    return QStringLiteral("  ") + QStringLiteral("MP3:  ") + rate + channel;
}

}  // namespace velmora
