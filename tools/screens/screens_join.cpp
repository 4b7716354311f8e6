// The join layer's windows: the progress dialog mid-run, paused and finished, and the busy
// dialog. The run has a task but a start delay that never ends, so every report shown comes
// through the dialog's own sink from here.
#include "screens_registry.h"

#include "join/conv_prog.h"
#include "join/processing.h"

#include <QPushButton>

namespace {

using velmora::CConvProg;
using velmora::kMessageError;
using velmora::kMessageInfo;
using velmora::screens::Settle;

std::unique_ptr<CConvProg> OpenRun(double percent) {
    auto engine = std::make_shared<velmora::JoinEngine>();
    engine->startDelayMs = 24u * 3600u * 1000u;
    velmora::CConversionTask task;
    task.outputPath = "/home/user/Music/Untitled.mp3";
    engine->activeRun->tasks.push_back(task);
    auto dlg = std::make_unique<CConvProg>(engine);
    dlg->show();
    Settle();
    auto sink = dlg->sink();
    auto& run = dlg->run();
    sink->SetTitle("Joining...");
    sink->SetDestination(task.outputPath);
    sink->SetSource("/home/user/Music/Albums/Night Drive/03 - Coastline.mp3");
    sink->Message("Start a new joining task.", kMessageInfo);
    sink->Message("Destination: " + task.outputPath + ".", kMessageInfo);
    const uint32_t now = velmora::TickCount();
    run.jobStartTick = now - 12000;
    run.taskStartTick = now - 12000;
    run.overallSecondsDone = 12.0f * 31.4f;
    // Enough reports for the timed fields to be filled in on a tenth one.
    for (int i = 0; i < 10; ++i) sink->Progress(static_cast<float>(percent), static_cast<float>(percent), false, run);
    Settle();
    return dlg;
}

}  // namespace

VELMORA_SCREEN(conv_prog_running) { return OpenRun(37.5); }

VELMORA_SCREEN(conv_prog_paused) {
    auto dlg = OpenRun(52.25);
    dlg->pauseButton()->click();
    return dlg;
}

VELMORA_SCREEN(conv_prog_finished) {
    auto dlg = OpenRun(88.0);
    auto sink = dlg->sink();
    sink->Message("Trouble with mpg123: File access error.", kMessageError);
    sink->SetSource("/home/user/Music/Albums/Night Drive/05 - Harbour Lights.mp3");
    sink->Message("Time elapsed 14.06 secs, speed 31.42x.", kMessageInfo);
    sink->Message("Joining status: OK.", kMessageInfo);
    sink->Done();
    Settle();
    return dlg;
}

VELMORA_SCREEN(conv_prog_failed) {
    auto dlg = OpenRun(12.0);
    auto sink = dlg->sink();
    sink->Message("Error creating file /home/user/Music/Untitled.mp3", kMessageError);
    sink->Message("Joining status: ERROR.", kMessageError);
    dlg->run().running = 0;
    Settle();
    return dlg;
}

VELMORA_SCREEN(processing) {
    auto dlg = std::make_unique<velmora::CProcessing>();
    dlg->setWindowTitle(QStringLiteral("Scanning  /home/user/Music/Albums"));
    dlg->show();
    Settle(300);  // let the marquee move
    return dlg;
}
