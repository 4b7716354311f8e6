#include <cstdio>
#include <cstring>

#include "app/zeph_app.h"

// --version and --help answer before the application object exists, so they need no display.
// Other arguments are left to Qt (its platform options).
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("velmora %s\n", VELMORA_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: velmora [--version] [--help]\n\n"
                        "Velmora joins MP3 files into one MP3 file. Gather the files in the window's list\n"
                        "(from the folder tree, File > Add, or by dropping them), order them and press F3.\n"
                        "velmora-cli does the same without a window; see 'man velmora-cli'.\n");
            return 0;
        }
    }
    velmora::CZEPHApp app(argc, argv);
    app.InitInstance();
    return 0;
}
