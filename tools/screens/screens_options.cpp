// The Options dialog with a fixed output folder and chosen encoder settings, and the About box.
#include "app/about_dlg.h"
#include "app/book_dlg.h"
#include "app/option_dlg.h"
#include "screens_registry.h"
#include "settings/app_settings.h"

#include <QBuffer>
#include <QImage>

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

namespace {

// An audiobook of six parts as the list measured them, one of them renamed, two merged, and
// a picture from a file: the dialog as someone shaping a book sees it.
std::unique_ptr<QWidget> BookDialog() {
    std::vector<velmora::JoinRow> rows;
    const char* names[] = {"01 - Opening Credits.mp3", "02 - The Harbour.mp3", "03 - Night Crossing.mp3",
                           "04 - Landfall.mp3",        "05 - The Long Road.mp3", "06 - Closing Credits.mp3"};
    const double minutes[] = {0.6, 21.4, 18.9, 25.2, 31.7, 0.8};
    for (int i = 0; i < 6; ++i) {
        velmora::JoinRow r;
        r.file.path = std::string("/home/sam/Audiobooks/The Crossing/") + names[i];
        r.file.sampleRate = 44100;
        r.file.channels = 2;
        r.file.totalSamples = uint64_t(minutes[i] * 60 * 44100) * 2;
        r.file.tags.album = "The Crossing";
        r.file.tags.artist = "Ana Whitlow";
        r.file.tags.year = "2021";
        r.file.tags.genre = "Audiobook";
        rows.push_back(r);
    }
    velmora::BookEdits edits;
    QImage picture(300, 300, QImage::Format_RGB32);
    picture.fill(QColor(34, 70, 120));
    for (int y = 180; y < 300; ++y)
        for (int x = 0; x < 300; ++x) picture.setPixel(x, y, qRgb(20, 40 + y / 8, 70));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    edits.coverSource = velmora::CoverSource::Image;
    edits.coverImage.assign(png.begin(), png.end());
    edits.coverMime = "image/png";
    edits.coverImagePath = "/home/sam/Pictures/crossing-cover.png";
    edits.nameFromTitle = true;
    auto dlg = std::make_unique<velmora::CBookDlg>(rows, edits, ShownSettings());
    dlg->show();
    velmora::screens::Settle();
    return dlg;
}

}  // namespace

VELMORA_SCREEN(chapters_tags) { return BookDialog(); }
