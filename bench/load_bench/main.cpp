// Loads a folder of 2000 tagged MP3 files into the main window's list and compares the time
// with `velmora-cli list` on the same folder (goal: at most 1.3x). Meanwhile a 10 ms timer on
// the UI thread records its longest lateness (goal: the UI thread never stalls > 100 ms).
// Usage: load_bench <velmora-cli> [file count]
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/file_loader.h"
#include "app/zeph_dlg.h"
#include "controls/report_ctrl.h"

namespace fs = std::filesystem;
using namespace velmora;

namespace {

bool MakeFiles(const fs::path& folder, int count) {
    const fs::path wav = folder / "base.wav";
    const fs::path mp3 = folder / "base.mp3";
    const std::string make = "sox -n -r 44100 -c 2 '" + wav.string() + "' synth 4 sine 440 && lame --quiet -b 128 '" +
                             wav.string() + "' '" + mp3.string() + "'";
    if (std::system(make.c_str()) != 0) return false;
    fs::create_directories(folder / "files");
    for (int i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "track %04d.mp3", i);
        const fs::path p = folder / "files" / name;
        fs::copy_file(mp3, p);
        TagLib::MPEG::File file(p.c_str());
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
        tag->setArtist(TagLib::String("Artist " + std::to_string(i % 37)));
        tag->setAlbum(TagLib::String("Album " + std::to_string(i % 11)));
        tag->setTitle(TagLib::String("Title " + std::to_string(i)));
        tag->setGenre("Ambient");
        tag->setTrack(static_cast<unsigned>(i % 20 + 1));
        tag->setYear(2000 + static_cast<unsigned>(i % 20));
        tag->setComment("made for the load benchmark");
        file.save(TagLib::MPEG::File::ID3v2);
    }
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: load_bench <velmora-cli> [file count]\n");
        return 2;
    }
    const std::string cli = argv[1];
    const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
    QTemporaryDir work;
    const fs::path root = work.path().toStdString();
    // A private account: the window's settings and profile go into the temporary folder.
    qputenv("HOME", (root / "home").c_str());
    qputenv("XDG_CONFIG_HOME", (root / "config").c_str());
    fs::create_directories(root / "home");
    QApplication app(argc, argv);
    CZEPHDlg::ProcessEnd() = [](int) {};
    if (!MakeFiles(root, count)) {
        std::fprintf(stderr, "could not make the files (sox and lame are needed)\n");
        return 1;
    }
    const QString folder = QString::fromStdString((root / "files").string());
    constexpr int kRuns = 3;

    std::vector<double> cliTimes;
    for (int i = 0; i < kRuns; ++i) {
        const std::string cmd = "'" + cli + "' list '" + folder.toStdString() + "' > /dev/null 2>&1";
        QElapsedTimer t;
        t.start();
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "velmora-cli list failed\n");
        cliTimes.push_back(t.nsecsElapsed() / 1e6);
    }

    CZEPHDlg dlg;
    dlg.OnInitDialog();
    dlg.show();
    CFileLoader& loader = FileLoaderOf(dlg);
    loader.WaitIdle(60000);
    std::vector<double> loadTimes;
    double worstStall = 0;
    int rows = 0;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer tick;
        double stall = 0;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            stall = std::max(stall, tick.nsecsElapsed() / 1e6 - 10.0);
            tick.restart();
        });
        QElapsedTimer t;
        t.start();
        tick.start();
        timer.start(10);
        loader.LoadTreeFolder(folder, Qt::NoModifier);
        // The UI thread sleeps between events, as in the application's own loop (the
        // 10 ms timer wakes it at the end).
        while (loader.IsRunning()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        loader.WaitIdle(60000);
        loadTimes.push_back(t.nsecsElapsed() / 1e6);
        timer.stop();
        worstStall = std::max(worstStall, stall);
        rows = dlg.fileList()->GetItemCount();
        std::printf("window load run %d: %.0f ms, longest stall %.1f ms\n", i + 1, loadTimes.back(), stall);
    }
    const double cliMs = Median(cliTimes);
    const double loadMs = Median(loadTimes);
    std::printf("files: %d, rows loaded: %d\n", count, rows);
    std::printf("velmora-cli list: %.0f ms (median of %d)\n", cliMs, kRuns);
    std::printf("window load:      %.0f ms (median of %d), ratio %.2f (goal <= 1.30)\n", loadMs, kRuns, loadMs / cliMs);
    std::printf("longest UI stall: %.1f ms (goal <= 100)\n", worstStall);
    const bool ok = rows == count && loadMs <= 1.3 * cliMs && worstStall <= 100;
    std::printf("%s\n", ok ? "GOALS MET" : "GOALS NOT MET");
    return ok ? 0 : 1;
}
