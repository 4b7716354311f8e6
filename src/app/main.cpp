#include "app/zeph_app.h"

// No command-line arguments are read by the program (Qt's own platform options still work).
int main(int argc, char** argv) {
    velmora::CZEPHApp app(argc, argv);
    app.InitInstance();
    return 0;
}
