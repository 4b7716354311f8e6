#include <cstdio>
#include <cstring>

#include "app/zeph_app.h"

// --version and --help answer before the application object exists, so they need no display.
// Other arguments name files and folders to load (Qt takes its own platform options first).
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velmora %s\n", VELMORA_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: velmora [--version] [--help] [FILE|FOLDER]...\n\n"
                        "Velmora joins audio files (MP3, WAV, FLAC, Ogg, Opus, M4A, WMA) into one MP3 file.\n"
                        "Gather the files in the window's list (from the folder tree, File > Add, by\n"
                        "dropping them, or by naming them here: folders with their subfolders, audio files\n"
                        "only), order them and press F3. When\n"
                        "Velmora already runs, it loads what is named here.\n"
                        "velmora-cli does the same without a window; see 'man velmora-cli'.\n");
            return 0;
        }
    }
    velmora::CZEPHApp app(argc, argv);
    return app.InitInstance();
}
