// The application object: one instance per user and executable name, then the main window
// run modally. The main window's close sequence ends the process itself.
#pragma once

#include <QApplication>
#include <QString>

namespace velmora {

class CInstanceGuard;

// The private drag format that marks drags starting in the file list (the drop target
// refuses them).
inline constexpr char ownDragFormat[] = "application/x-velmora-B68D2B99-630A-4eca-87FA-3BEB89137B38";

// The profile key: organisation and product folders of the per-user profile.
inline constexpr char kProfileOrganisation[] = "Orvatek Corporation";
inline constexpr char kProfileProduct[] = "Velmora";

class CZEPHApp : public QApplication {
    Q_OBJECT
public:
    // Qt needs its application object to be built in main, so this is not a static object;
    // nothing of the program runs before it.
    CZEPHApp(int& argc, char** argv);
    ~CZEPHApp() override;

    // The start-up and the window's run; the process's exit status when it comes back (the
    // main window's close sequence ends the process itself): 1 when a later start could not
    // hand its files over to the running instance, else 0.
    int InitInstance();

    // The executable's file name without its extension.
    static QString InstanceName();

private:
    CInstanceGuard* guard_ = nullptr;
};

}  // namespace velmora
