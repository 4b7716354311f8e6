// The Options dialog with a fixed output folder and chosen encoder settings, and the About box.
#include "app/about_dlg.h"
#include "app/option_dlg.h"
#include "screens_registry.h"
#include "settings/app_settings.h"

namespace {

// The record the Options picture shows; it outlives the dialog.
velmora::AppSettings& ShownSettings() {
    static velmora::AppSettings s = [] {
        velmora::AppSettings v;
        v.askOutputPath = 0;
        v.outputFolder = "/home/sam/Music/Joined/";
        v.defaultFileName = "Evening Mix";
        v.frequencyIndex = 8;
        v.channelModeIndex = 3;
        v.bitrateIndex = 13;
        return v;
    }();
    return s;
}

}  // namespace

VELMORA_SCREEN(options) {
    // Reset is never pressed here; the settings file named is a throwaway one.
    auto dlg = std::make_unique<velmora::COption>(ShownSettings(), nullptr, "/nonexistent/velmora-screens/Config.ini");
    return dlg;
}

VELMORA_SCREEN(about) { return std::make_unique<velmora::CAboutDlg>(); }
