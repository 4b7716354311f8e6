#include "engine/join_sink.h"

#include <cstdarg>
#include <cstdio>

#include "engine/join_runner.h"
#include "engine/join_task.h"

namespace velmora {

void PostJoinProgress(JoinEngine& engine, float taskPercent, float overallPercent, bool final) {
    std::shared_ptr<JoinSink> sink = engine.sink;
    std::shared_ptr<JoinRunState> run = engine.activeRun;
    if (sink && run) sink->Progress(taskPercent, overallPercent, final, *run);
}

void PostJoinMessage(JoinEngine& engine, std::string text, int kind) {
    // The first error of a task is kept as its reason (a failed book names it at the end).
    if (kind == kMessageError) {
        if (const std::shared_ptr<JoinRunState> run = engine.activeRun;
            run && !run->firstTaskError.load(std::memory_order_acquire)) {
            auto* first = new std::string(text);
            std::string* none = nullptr;
            if (!run->firstTaskError.compare_exchange_strong(none, first, std::memory_order_acq_rel)) delete first;
        }
    }
    if (std::shared_ptr<JoinSink> sink = engine.sink) sink->Message(std::move(text), kind);
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

uint64_t JoinEventQueue::Push(JoinEvent e) {
    uint64_t sequence;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        sequence = ++pushed_;
    }
    cv_.notify_all();
    return sequence;
}

void JoinEventQueue::Progress(float taskPercent, float overallPercent, bool final,
                              const JoinRunState& run) {
    JoinEvent e;
    e.type = JoinEvent::Type::Progress;
    e.taskPercent = taskPercent;
    e.overallPercent = overallPercent;
    e.final = final;
    const uint64_t sequence = Push(std::move(e));
    if (!final || !waitForFinal_) return;
    // Handled = taken by a consumer. Give up once the run is stopped: a cancelling receiver may
    // be waiting for this very thread.
    std::unique_lock<std::mutex> lock(mutex_);
    while (popped_ < sequence && run.running.load()) cv_.wait_for(lock, std::chrono::milliseconds(5));
}

void JoinEventQueue::Message(std::string text, int kind) {
    JoinEvent e;
    e.type = JoinEvent::Type::Message;
    e.text = std::move(text);
    e.kind = kind;
    Push(std::move(e));
}

void JoinEventQueue::Done() {
    JoinEvent e;
    e.type = JoinEvent::Type::Done;
    Push(std::move(e));
}

namespace {
JoinEvent TextEvent(JoinEvent::Type type, std::string text) {
    JoinEvent e;
    e.type = type;
    e.text = std::move(text);
    return e;
}
}  // namespace

void JoinEventQueue::SetTitle(std::string text) { Push(TextEvent(JoinEvent::Type::Title, std::move(text))); }
void JoinEventQueue::SetSource(std::string text) { Push(TextEvent(JoinEvent::Type::Source, std::move(text))); }
void JoinEventQueue::SetDestination(std::string text) {
    Push(TextEvent(JoinEvent::Type::Destination, std::move(text)));
}
void JoinEventQueue::ShowMessageBox(std::string text) {
    Push(TextEvent(JoinEvent::Type::MessageBox, std::move(text)));
}

std::optional<JoinEvent> JoinEventQueue::Pop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return std::nullopt;
    JoinEvent e = std::move(events_.front());
    events_.pop_front();
    ++popped_;
    lock.unlock();
    cv_.notify_all();
    return e;
}

std::vector<JoinEvent> JoinEventQueue::TakeAll() {
    std::vector<JoinEvent> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.assign(std::make_move_iterator(events_.begin()), std::make_move_iterator(events_.end()));
        popped_ += events_.size();
        events_.clear();
    }
    cv_.notify_all();
    return all;
}

size_t JoinEventQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

}  // namespace velmora
