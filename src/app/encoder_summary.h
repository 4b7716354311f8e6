// The encoder summary of the main window's status bar (pane 2 and its tooltip).
#pragma once

#include <QString>

#include "settings/app_settings.h"

namespace velmora {

// "  MP3:  " + "CBR %3d kbps; Automatic Frequency;" (or "CBR %3d kbps; %5d Hz;") + channel part.
QString EncoderSummaryText(const AppSettings& settings);

}  // namespace velmora
