// How the engine reports: three messages (progress, log line, done) plus the dialog texts it
// sets (title, Source, Destination) and the encoder's error box. The progress dialog implements
// JoinSink by posting to its own thread; headless users take JoinEventQueue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

struct JoinRunState;
struct JoinEngine;

inline constexpr int kMessageInfo = 0;
inline constexpr int kMessageError = 2;

class JoinSink {
public:
    virtual ~JoinSink() = default;

    // Percent done of the current task and overall. A final report blocks until the receiver
    // has handled it, but gives up as soon as `run.running` is clear, so a cancelling receiver
    // that waits for the workers never deadlocks with this call.
    virtual void Progress(float taskPercent, float overallPercent, bool final,
                          const JoinRunState& run) = 0;
    // One log line; kind is kMessageInfo (0) or kMessageError (2).
    virtual void Message(std::string text, int kind) = 0;
    // The run finished all its tasks without being stopped.
    virtual void Done() = 0;
    // The run ended any other way (stopped, failed, cancelled): sent once, instead of Done.
    virtual void Failed() {}
    virtual void SetTitle(std::string text) = 0;
    virtual void SetSource(std::string text) = 0;
    virtual void SetDestination(std::string text) = 0;
    // An error box the encoder shows ("Error Loading Lame_enc.so", …). The engine does not wait
    // for the user to close it.
    virtual void ShowMessageBox(std::string text) = 0;
};

// Engine-side helpers: no-ops when the engine has no sink.
void PostJoinProgress(JoinEngine& engine, float taskPercent, float overallPercent, bool final);
void PostJoinMessage(JoinEngine& engine, std::string text, int kind);

// printf-style formatting for the log lines ("Destination: %s." …).
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct JoinEvent {
    enum class Type { Progress, Message, Done, Title, Source, Destination, MessageBox };
    Type type = Type::Message;
    float taskPercent = 0;
    float overallPercent = 0;
    bool final = false;
    std::string text;
    int kind = kMessageInfo;
};

// A thread-safe FIFO of everything the engine reports, in the order it was reported.
// With waitForFinal, a final progress report blocks its sender until a consumer has popped it
// (or the run is stopped); without it the report is queued and the sender goes on.
class JoinEventQueue : public JoinSink {
public:
    explicit JoinEventQueue(bool waitForFinal = false) : waitForFinal_(waitForFinal) {}

    void Progress(float taskPercent, float overallPercent, bool final,
                  const JoinRunState& run) override;
    void Message(std::string text, int kind) override;
    void Done() override;
    void SetTitle(std::string text) override;
    void SetSource(std::string text) override;
    void SetDestination(std::string text) override;
    void ShowMessageBox(std::string text) override;

    // Next event, waiting at most `timeout`; nothing when none came in time.
    std::optional<JoinEvent> Pop(std::chrono::milliseconds timeout);
    std::optional<JoinEvent> TryPop() { return Pop(std::chrono::milliseconds(0)); }
    // Every queued event, oldest first.
    std::vector<JoinEvent> TakeAll();
    size_t Size() const;

private:
    uint64_t Push(JoinEvent e);

    const bool waitForFinal_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<JoinEvent> events_;
    uint64_t pushed_ = 0;  // events ever queued
    uint64_t popped_ = 0;  // events ever taken
};

}  // namespace velmora
