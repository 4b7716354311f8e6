// CAboutDlg: the modal "About Velmora" box with the program's name and version, links to the
// maker's homepage and support mailbox, and a thank-you line.
#pragma once

#include <QDialog>

#include "controls/dialog_units.h"

#include <map>

namespace velmora {

class CHyperLink;

// Addresses of the maker, also used by the Help commands.
inline constexpr const char* kHomepageAddress = "www.example.com/velmora";
inline constexpr const char* kSupportMailAddress = "support@example.com";
inline constexpr const char* kDownloadAddress = "https://www.example.com/downloads/velmora-tools.tar.gz";
inline constexpr const char* kOnlineSupportAddress = "https://www.example.com/velmora/support";
inline constexpr const char* kAboutProductLine = "Velmora 5.0.9";
inline constexpr const char* kThanksLine = "Thanks for using this FREEWARE. We hope you like it.";
inline constexpr const char* kMakerNoticeLine1 = "Copyright (C) Orvatek Corporation.";
inline constexpr const char* kMakerNoticeLine2 = "Free to use and to pass on unchanged.";
inline constexpr const char* kLicenceLine =
    "Velmora is free software under the GNU General Public License, version 3 or later.";

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int IDC_HOMEPAGE = 1141;
    static constexpr int IDC_SUPPORT = 1142;

    explicit CAboutDlg(QWidget* parent = nullptr);
    ~CAboutDlg() override;

    CHyperLink* homepageLink() const { return homepage_; }
    CHyperLink* supportLink() const { return support_; }
    QWidget* Control(int id) const;

    // "Built on Qt 6.4.2, libmpg123 1.31.2, SoX 14.4.2, TagLib 1.13.0, LAME 3.100 and FFmpeg
    // 5.1.6.": the versions the program runs with (a library that could not be loaded is
    // named without one).
    static QString CreditsText();

private:
    void OnInitDialog();

    CHyperLink* homepage_ = nullptr;
    CHyperLink* support_ = nullptr;
    ControlTable controls_;
};

}  // namespace velmora
