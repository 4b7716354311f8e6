#include "engine/converter.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velmora {

namespace {

// The chain's handlers carry no private data; they find their engine and task through the
// conversion thread they run on (libsox calls single-flow effects on the flowing thread).
struct ConversionContext {
    JoinEngine* engine = nullptr;
    CConversionTask* task = nullptr;
    JoinRunState* run = nullptr;  // the run the thread was started in, never a later one
    AtomicValue<uint64_t>* given = nullptr;  // what this input gave the encoder so far
};
thread_local ConversionContext conversionContext;

void SleepMs() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

bool Running() {
    const JoinRunState* run = conversionContext.run;
    return run && run->running.load() != 0;
}

// Static effect handler records: the chain's own source and sink.
const sox_effect_handler_t kInputHandler = {
    "input", nullptr, SOX_EFF_MCHAN, nullptr, nullptr, nullptr, InputDrain, nullptr, nullptr, 0};
const sox_effect_handler_t kOutputHandler = {
    "output", nullptr, SOX_EFF_MCHAN, nullptr, nullptr, OutputFlow, nullptr, nullptr, nullptr, 0};

// Adds an effect of the library with its one option (the target value), then frees the
// caller's copy: the chain keeps its own.
// A false result means the chain lacks the effect: it must not run.
bool AddLibraryEffect(sox_effects_chain_t* chain, const char* name, unsigned value,
                      sox_signalinfo_t* running, const sox_signalinfo_t* target) {
    const sox_effect_handler_t* handler = sox_find_effect(name);
    if (!handler) return false;
    sox_effect_t* effect = sox_create_effect(handler);
    if (!effect) return false;
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    char* args[] = {text};
    const bool optionsOk = sox_effect_options(effect, 1, args) == SOX_SUCCESS;
    const bool ok = optionsOk && sox_add_effect(chain, effect, running, target) == SOX_SUCCESS;
    if (!optionsOk) {
        // Refused options: the chain never took the effect, so what its option parsing kept
        // goes here.
        if (effect->handler.kill) effect->handler.kill(effect);
        std::free(effect->priv);
    }
    std::free(effect);
    return ok;
}

bool AddOwnEffect(sox_effects_chain_t* chain, const sox_effect_handler_t* handler,
                  sox_signalinfo_t* running, const sox_signalinfo_t* target) {
    sox_effect_t* effect = sox_create_effect(handler);
    if (!effect) return false;
    const bool ok = sox_add_effect(chain, effect, running, target) == SOX_SUCCESS;
    std::free(effect);
    return ok;
}

}  // namespace

void EnsureSoxInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { sox_init(); });
}

int ConvertFile(JoinEngine& engine, CConversionTask& task, std::shared_ptr<JoinRunState> run) {
    EnsureSoxInitialised();
    if (!run) run = engine.activeRun;
    const size_t input = static_cast<size_t>(task.currentInput.load());
    conversionContext = {&engine, &task, run.get(),
                         input < task.inputSamples.size() ? &task.inputSamples[input] : nullptr};

    sox_encodinginfo_t encoding{};
    encoding.encoding = SOX_ENCODING_SIGN2;
    encoding.bits_per_sample = 32;
    encoding.compression = 0;
    encoding.reverse_bytes = sox_option_no;
    encoding.reverse_nibbles = sox_option_no;
    encoding.reverse_bits = sox_option_no;
    encoding.opposite_endian = sox_false;
    const sox_encodinginfo_t outEncoding = encoding;

    const uint32_t inRate = task.currentRate.load();
    const uint32_t inChannels = task.currentChannels.load();

    sox_signalinfo_t running{};
    running.rate = static_cast<double>(inRate);
    running.channels = inChannels;
    running.precision = 32;
    running.length = SOX_IGNORE_LENGTH;
    running.mult = nullptr;
    // The target record starts with the same content; the "channels" and "rate" effects take
    // their target value from their option, and libsox fills in what each effect changes.
    const sox_signalinfo_t target = running;

    bool ok = false;
    sox_effects_chain_t* chain = sox_create_effects_chain(&encoding, &outEncoding);
    if (chain) {
        ok = AddOwnEffect(chain, &kInputHandler, &running, &running);
        if (ok && task.outputChannels != inChannels)
            ok = AddLibraryEffect(chain, "channels", task.outputChannels, &running, &target);
        if (ok && task.outputRate != inRate) ok = AddLibraryEffect(chain, "rate", task.outputRate, &running, &target);
        ok = ok && AddOwnEffect(chain, &kOutputHandler, &running, &target);
        if (ok) ok = sox_flow_effects(chain, nullptr, nullptr) == SOX_SUCCESS;
        sox_delete_effects_chain(chain);
    }
    // Ending while the decoder still produces this input is ending early.
    if (ok && task.fileDecoding.load() && Running()) ok = false;
    conversionContext = {};
    task.converting = 0;
    return ok || !run->running ? 1 : 0;
}

int InputDrain(sox_effect_t* effect, sox_sample_t* output, size_t* count) {
    JoinEngine* engine = conversionContext.engine;
    CConversionTask* task = conversionContext.task;
    if (!engine || !task) {
        *count = 0;
        return SOX_EOF;
    }
    const size_t channels = effect->out_signal.channels ? effect->out_signal.channels : 1;
    size_t wanted = *count - *count % channels;
    // One ring-buffer read never asks for more than the buffer can hold.
    const size_t most = engine->decodedSamples.Capacity() - 1;
    if (wanted > most) wanted = most - most % channels;

    for (;;) {
        if (!Running()) {
            *count = 0;
            return SOX_EOF;
        }
        if (engine->decodedSamples.Used(0) >= wanted || !task->fileDecoding.load()) break;
        SleepMs();
    }
    const uint32_t n = engine->decodedSamples.Read(output, static_cast<uint32_t>(wanted), 0);
    *count = n;
    return n > 0 ? SOX_SUCCESS : SOX_EOF;
}

int OutputFlow(sox_effect_t* effect, const sox_sample_t* input, sox_sample_t* output,
               size_t* inputCount, size_t* outputCount) {
    JoinEngine* engine = conversionContext.engine;
    *outputCount = 0;
    if (!engine) return SOX_EOF;
    SampleRing& ring = engine->convertedSamples;
    size_t remaining = *inputCount;
    const sox_sample_t* from = input;
    // Blocks larger than the ring's free room go in pieces instead of waiting for room that
    // can never appear.
    while (remaining > 0) {
        if (!Running()) return SOX_EOF;
        const uint32_t room = ring.Free();
        if (room == 0) {
            SleepMs();
            continue;
        }
        const uint32_t piece = remaining < room ? static_cast<uint32_t>(remaining) : room;
        const uint32_t written = ring.Write(from, piece);
        from += written;
        remaining -= written;
        if (conversionContext.given) conversionContext.given->Add(written);
    }
    return SOX_SUCCESS;
}

}  // namespace velmora
