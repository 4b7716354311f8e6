#include "join_fixture.h"

#include "engine/encoder.h"
#include "engine/stream_info.h"


namespace velmora::testing {

bool MakeJoinTask(const std::vector<JoinInput>& inputs, const std::filesystem::path& output, CConversionTask& task,
                  const AppSettings& settings) {
    task = CConversionTask();
    task.outputKind = kOutputKindMp3;
    for (const JoinInput& in : inputs) {
        CFileToBeJoin f;
        f.path = in.path.string();
        if (in.path.string().ends_with(".bad.mp3")) {
            // Recorded as the list measured it before the file went away.
            f.sampleRate = static_cast<uint32_t>(in.rate);
            f.channels = static_cast<uint32_t>(in.channels);
            f.totalSamples = static_cast<uint64_t>(in.seconds * in.rate) * in.channels;
        } else {
            ToneSpec toneSpec;
            toneSpec.rate = in.rate;
            toneSpec.channels = in.channels;
            toneSpec.seconds = in.seconds;
            toneSpec.frequency = in.frequency;
            if (!MakeToneMp3(in.path, toneSpec)) return false;
            const StreamInfo info = ReadStreamInfo(f.path);
            if (!info.readable) return false;
            f.sampleRate = info.sampleRate;
            f.channels = info.channels;
            f.totalSamples = info.totalSamples;
        }
        task.files->push_back(f);
    }
    PrepareTask(task, settings);
    task.outputPath = output.string();
    return true;
}

void ResetRun(JoinEngine& engine, const CConversionTask& task) {
    JoinRunState& run = *engine.activeRun;
    run.tasks.clear();
    CConversionTask copy = task;
    copy.files = std::make_shared<FileList>(*task.files);  // each run consumes its own list
    run.tasks.push_back(copy);
    run.overallSamplesTotal = task.totalSamples;
}

std::shared_ptr<JoinEngine> MakeJoinEngine(const CConversionTask& task, uint32_t startDelayMs) {
    auto engine = std::make_shared<JoinEngine>();
    engine->encodeTask = [](JoinEngine& e, CConversionTask& t) { return EncodeTask(e, t); };
    engine->startDelayMs = startDelayMs;
    ResetRun(*engine, task);
    return engine;
}

}  // namespace velmora::testing
