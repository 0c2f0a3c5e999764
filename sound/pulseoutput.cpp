#include "sound/pulseoutput.h"

#include "sound/beatgate.h"
#include "sound/clipvoice.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace sound {

namespace {

constexpr const char* kApplicationName = EKGDEMO_TITLE;
constexpr const char* kApplicationId = "ekgdemo";
constexpr const char* kStreamName = "heartbeat";
// A server that takes the connection, or a stream, and says nothing for this
// long counts as not answering.
constexpr pa_usec_t kAnswerTimeout = 2 * PA_USEC_PER_SEC;
// Attempts to reach the server start at most this often.
constexpr pa_usec_t kRetryInterval = 2 * PA_USEC_PER_SEC;
// How long closing waits for the stream to play what it holds.
constexpr pa_usec_t kDrainTimeout = 300 * PA_USEC_PER_MSEC;
// The server holds about this much ahead of what is heard: a ding starts at
// most this (plus one request) after its play.
constexpr int kTargetLatencyMs = 40;
constexpr int kRequestMs = 10;
constexpr int kWriteAheadMs = 250;
constexpr int kIdleCloseMs = 1000;
constexpr int kDrainTailMs = 10;
// A server that asks for nothing for this long, well over the time between
// its requests, is stalled (frozen, or starved of CPU): what it holds would
// sound late, after the stall, and is dropped. The stall is taken as real
// only once the sound thread has looked for a request once more, a moment
// later, so that a thread that was itself held up reads what came first.
constexpr pa_usec_t kStallTimeout = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kStallRecheck = 10 * PA_USEC_PER_MSEC;
// A play that cannot be laid into the stream within this long, because the
// server is frozen, suspended or slow to answer, would sound on no beat: it
// is dropped.
constexpr BeatGate::Clock::duration kPlayLifetime = std::chrono::milliseconds(100);
// A new stream starts with this much silence: PulseAudio's null sink skips up
// to about 9 ms of a new stream, which must be silence, not the ding's attack.
constexpr int kLeadInMs = 20;

std::uint32_t BytesFor(int milliseconds, const pa_sample_spec& spec)
{
    return static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(milliseconds) * PA_USEC_PER_MSEC, &spec));
}

struct ProplistFree {
    void operator()(pa_proplist* list) const { pa_proplist_free(list); }
};
using Proplist = std::unique_ptr<pa_proplist, ProplistFree>;

// What a desktop's mixer shows for the program and files its streams under.
Proplist ApplicationProperties()
{
    Proplist list(pa_proplist_new());
    pa_proplist_sets(list.get(), PA_PROP_APPLICATION_NAME, kApplicationName);
    pa_proplist_sets(list.get(), PA_PROP_APPLICATION_ID, kApplicationId);
    pa_proplist_sets(list.get(), PA_PROP_APPLICATION_ICON_NAME, kApplicationId);
    return list;
}

struct EventFd {
    EventFd() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        if (fd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~EventFd() { ::close(fd); }
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;
    const int fd;
};

struct ThreadedMainloopFree {
    void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
};

}  // namespace

void ReportNoSound(std::string_view subject, std::string_view reason)
{
    std::fprintf(stderr, "%.*s: %.*s; running without sound\n", static_cast<int>(subject.size()),
                 subject.data(), static_cast<int>(reason.size()), reason.data());
}

void BeatStream::WriteToStandardError(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
}

// Play and Stop, on the caller's thread, touch only the gate, the two atomics
// and the wake-up's eventfd. Everything below them belongs to the sound
// thread: it is touched only there, or by the constructor before that thread
// starts and by the destructor while it holds the main loop's lock. The sound
// thread too holds that lock while it works, report_ included, so a report
// must not wait for the thread that closes the stream. Every event ends in
// Step, which looks at where things stand and takes the next step.
class BeatStream::Engine {
public:
    Engine(wav::Clip clip, Report report);
    ~Engine();

    void Play();
    void Stop();

private:
    static void OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self);
    static void OnDeferred(pa_mainloop_api*, pa_defer_event*, void* self);
    static void OnTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* self);
    static void OnContextState(pa_context*, void* self);
    static void OnStreamState(pa_stream*, void* self);
    static void OnWriteRequest(pa_stream*, std::size_t bytes, void* self);
    static void OnDrained(pa_stream*, int, void* self);

    void Step();
    bool TakePlay();
    bool PlayWaiting();
    bool Stale(std::int64_t playedAt) const;
    bool NewContext();
    void Connect(pa_usec_t now);
    void OpenStream(pa_usec_t now);
    void CloseStream();
    void DropContext();
    void Lose(const std::string& why);
    bool Idle() const;
    void FadeOutAndDrain();
    void AwaitAnswer(pa_usec_t now);
    void Arm(pa_usec_t at);
    void CheckForStall(pa_usec_t now);
    void ExpectRequestWithin(pa_usec_t now, std::size_t bytesAhead);
    std::string ServerError() const;

    const wav::Clip clip_;
    const Report report_;
    const pa_sample_spec spec_;

    BeatGate gate_;
    // When the play that waits to be laid into the stream came, in ticks of
    // the gate's clock; kNoPlay when none waits.
    static constexpr std::int64_t kNoPlay = std::numeric_limits<std::int64_t>::min();
    std::atomic<std::int64_t> pendingPlay_{kNoPlay};
    // While a stream is open its requests take up the plays; otherwise a play wakes the thread.
    std::atomic<bool> streaming_{false};
    EventFd wake_;

    std::unique_ptr<pa_threaded_mainloop, ThreadedMainloopFree> loop_;
    pa_mainloop_api* api_ = nullptr;
    pa_io_event* wakeEvent_ = nullptr;
    pa_defer_event* stepEvent_ = nullptr;
    pa_time_event* timer_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::optional<ClipVoice> voice_;

    bool attemptWanted_ = true;  // at start-up, and when plays came with no server
    pa_usec_t nextAttemptAt_ = 0;
    pa_usec_t deadline_ = 0;  // for the server to answer the connection or the stream
    bool reached_ = false;    // the current connection got through once
    bool soundLost_ = false;  // the last line said there is no sound
    std::size_t framesSincePlay_ = 0;
    std::size_t leadInFramesDue_ = 0;  // silence still to go before anything else, on a new stream
    pa_usec_t stallAt_ = 0;            // a server that has asked for nothing more by then is stalled
    int stallLooks_ = 0;               // how often the sound thread found it so since, up to 2
    bool quitting_ = false;
    bool drained_ = false;
};

BeatStream::Engine::Engine(wav::Clip clip, Report report)
    : clip_(std::move(clip)),
      report_(std::move(report)),
      spec_{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(clip_.sampleRate), static_cast<std::uint8_t>(clip_.channels)},
      loop_(pa_threaded_mainloop_new())
{
    // The voice steps through the clip a frame at a time: a clip without
    // whole frames would never leave its loop.
    if (clip_.channels < 1 || clip_.channels > 2 || clip_.sampleRate < wav::kMinSampleRate ||
        clip_.sampleRate > wav::kMaxSampleRate || clip_.samples.empty() ||
        clip_.samples.size() % static_cast<std::size_t>(clip_.channels) != 0)
        throw std::invalid_argument("the clip is not a sound that can be played");
    if (!loop_)
        throw std::runtime_error("cannot make the sound thread's main loop");
    api_ = pa_threaded_mainloop_get_api(loop_.get());
    wakeEvent_ = api_->io_new(api_, wake_.fd, PA_IO_EVENT_INPUT, OnWake, this);
    // Enabled from the start: the first step, the first look for the server,
    // is taken on the sound thread.
    stepEvent_ = api_->defer_new(api_, OnDeferred, this);
    // Disabled until armed; it bounds every wait, closing's included.
    timer_ = api_->time_new(api_, nullptr, OnTimer, this);
    // Freeing the main loop frees any that were made.
    if (!wakeEvent_ || !stepEvent_ || !timer_)
        throw std::runtime_error("cannot make the sound thread's events");
    pa_threaded_mainloop_set_name(loop_.get(), "ekgdemo sound");
    if (pa_threaded_mainloop_start(loop_.get()) < 0)
        throw std::runtime_error("cannot start the sound thread");
}

BeatStream::Engine::~Engine()
{
    pa_threaded_mainloop_lock(loop_.get());
    quitting_ = true;
    FadeOutAndDrain();
    CloseStream();
    DropContext();
    api_->time_free(timer_);
    api_->defer_free(stepEvent_);
    api_->io_free(wakeEvent_);
    pa_threaded_mainloop_unlock(loop_.get());
    pa_threaded_mainloop_stop(loop_.get());
}

void BeatStream::Engine::Play()
{
    const BeatGate::Clock::time_point now = BeatGate::Clock::now();
    if (!gate_.Pass(now))
        return;
    // Both sides write their flag before they read the other's, so a play
    // either is seen by the open stream or wakes the thread.
    if (pendingPlay_.exchange(now.time_since_epoch().count()) == kNoPlay && !streaming_.load()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_.fd, &one, sizeof one);
    }
}

// What the server already holds plays out: it began on its beat, and cutting
// it short would leave half a ding and a click.
void BeatStream::Engine::Stop()
{
    pendingPlay_ = kNoPlay;
}

// Takes the waiting play from its slot: true if it is young enough to sound.
bool BeatStream::Engine::TakePlay()
{
    const std::int64_t playedAt = pendingPlay_.exchange(kNoPlay);
    return playedAt != kNoPlay && !Stale(playedAt);
}

// True if a play waits that is young enough to sound; a stale one is dropped,
// so that the next play wakes the thread again.
bool BeatStream::Engine::PlayWaiting()
{
    std::int64_t playedAt = pendingPlay_.load();
    while (playedAt != kNoPlay && Stale(playedAt))
        if (pendingPlay_.compare_exchange_weak(playedAt, kNoPlay))
            return false;
    return playedAt != kNoPlay;
}

bool BeatStream::Engine::Stale(std::int64_t playedAt) const
{
    const BeatGate::Clock::time_point played{BeatGate::Clock::duration(playedAt)};
    return BeatGate::Clock::now() - played > kPlayLifetime;
}

void BeatStream::Engine::OnWake(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self)
{
    std::uint64_t count;
    [[maybe_unused]] const ssize_t got = ::read(fd, &count, sizeof count);
    static_cast<Engine*>(self)->Step();
}

void BeatStream::Engine::OnDeferred(pa_mainloop_api* api, pa_defer_event* event, void* self)
{
    api->defer_enable(event, 0);
    static_cast<Engine*>(self)->Step();
}

void BeatStream::Engine::OnTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    if (engine->quitting_) {
        engine->drained_ = true;  // or never: the wait for the drain ends here
        pa_threaded_mainloop_signal(engine->loop_.get(), 0);
        return;
    }
    engine->Step();
}

// A state may change inside the very call that asked for the change: the
// step is taken afterwards, from the main loop, never nested in another.
void BeatStream::Engine::OnContextState(pa_context*, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    engine->api_->defer_enable(engine->stepEvent_, 1);
}

void BeatStream::Engine::OnStreamState(pa_stream*, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    engine->api_->defer_enable(engine->stepEvent_, 1);
}

void BeatStream::Engine::OnDrained(pa_stream*, int, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    engine->drained_ = true;
    pa_threaded_mainloop_signal(engine->loop_.get(), 0);
}

// The server asks for more: the clip from its start if a play came since the
// last request, and in time for its beat, the clip going on or silence
// otherwise; a new stream's lead-in first. What is left of a sounding clip
// goes out at once, up to a limit, so that no delay of this thread can break
// a ding up; silence goes out only as asked for, which keeps the next ding
// close behind its play.
void BeatStream::Engine::OnWriteRequest(pa_stream* stream, std::size_t bytes, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    if (engine->quitting_)
        return;
    if (engine->TakePlay()) {
        engine->voice_->Play();
        engine->framesSincePlay_ = 0;
    }
    const std::size_t frameBytes = pa_frame_size(&engine->spec_);
    const auto channels = static_cast<std::size_t>(engine->clip_.channels);
    const std::size_t aheadFrames = static_cast<std::size_t>(engine->clip_.sampleRate) * kWriteAheadMs / 1000;
    const std::size_t asked = bytes;
    bytes = std::max(bytes, (engine->leadInFramesDue_ + std::min(engine->voice_->FramesLeft(), aheadFrames)) * frameBytes);
    engine->ExpectRequestWithin(pa_rtclock_now(), bytes - asked);
    while (bytes >= frameBytes) {
        void* data = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || !data)
            return;  // the stream is failing: its state callback follows
        size -= size % frameBytes;
        if (size == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        const std::span out(static_cast<std::int16_t*>(data), size / sizeof(std::int16_t));
        const std::size_t silent = std::min(out.size(), engine->leadInFramesDue_ * channels);
        std::fill_n(out.begin(), silent, std::int16_t{0});
        engine->leadInFramesDue_ -= silent / channels;
        engine->voice_->Fill(out.subspan(silent));
        if (pa_stream_write(stream, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        bytes -= size;
        engine->framesSincePlay_ += size / frameBytes;
    }
    // The stream is closed outside its own callback.
    if (engine->Idle())
        engine->api_->defer_enable(engine->stepEvent_, 1);
}

void BeatStream::Engine::Step()
{
    if (quitting_ || (!context_ && !NewContext()))
        return;
    const pa_usec_t now = pa_rtclock_now();
    switch (pa_context_get_state(context_)) {
    case PA_CONTEXT_UNCONNECTED:
        if (pendingPlay_.load() != kNoPlay)
            attemptWanted_ = true;
        if (!attemptWanted_)
            return;
        if (now >= nextAttemptAt_) {
            Connect(now);  // a play that asked for it waits for the answer
            return;
        }
        pendingPlay_ = kNoPlay;  // by the next attempt it would fall on no beat
        Arm(nextAttemptAt_);
        return;
    case PA_CONTEXT_CONNECTING:
    case PA_CONTEXT_AUTHORIZING:
    case PA_CONTEXT_SETTING_NAME:
        // A play meanwhile waits: the server answers in a few milliseconds,
        // or too late for the play's beat, which drops it, or not at all.
        AwaitAnswer(now);
        return;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        Lose((reached_ ? "connection lost (" : "not reachable (") + ServerError() + ")");
        return;
    case PA_CONTEXT_READY:
        reached_ = true;
        break;
    }

    if (!stream_) {
        if (PlayWaiting())
            OpenStream(now);
        return;
    }
    switch (pa_stream_get_state(stream_)) {
    case PA_STREAM_UNCONNECTED:
    case PA_STREAM_CREATING:
        AwaitAnswer(now);
        return;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        Lose("playback failed (" + ServerError() + ")");
        return;
    case PA_STREAM_READY:
        if (soundLost_) {
            soundLost_ = false;
            report_("sound server: answering again; sound is back");
        }
        CheckForStall(now);
        if (Idle()) {
            CloseStream();
            if (PlayWaiting())
                OpenStream(now);
        }
        return;
    }
}

bool BeatStream::Engine::NewContext()
{
    const Proplist properties = ApplicationProperties();
    context_ = pa_context_new_with_proplist(api_, kApplicationName, properties.get());
    if (!context_) {
        if (!soundLost_)
            report_("sound server: cannot make a connection (out of memory); running without sound");
        soundLost_ = true;
        // The play that asked for it is dropped, so that the next one wakes
        // the thread to try again.
        pendingPlay_ = kNoPlay;
        return false;
    }
    pa_context_set_state_callback(context_, OnContextState, this);
    return true;
}

void BeatStream::Engine::Connect(pa_usec_t now)
{
    attemptWanted_ = false;
    nextAttemptAt_ = now + kRetryInterval;
    deadline_ = now + kAnswerTimeout;
    reached_ = false;
    // Without NOAUTOSPAWN the library would try to start a server of its own.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        Lose("not reachable (" + ServerError() + ")");
        return;
    }
    Arm(deadline_);
}

void BeatStream::Engine::OpenStream(pa_usec_t now)
{
    // No media role: the server would keep the volume of every stream with
    // that role under one shared key. Without one, the heartbeat's volume is
    // kept for the program alone.
    const Proplist properties = ApplicationProperties();
    stream_ = pa_stream_new_with_proplist(context_, kStreamName, &spec_, nullptr, properties.get());
    if (!stream_) {
        Lose("cannot open a playback stream (" + ServerError() + ")");
        return;
    }
    voice_.emplace(clip_);
    framesSincePlay_ = 0;
    leadInFramesDue_ = static_cast<std::size_t>(clip_.sampleRate) * kLeadInMs / 1000;
    pa_stream_set_state_callback(stream_, OnStreamState, this);
    pa_stream_set_write_callback(stream_, OnWriteRequest, this);
    streaming_ = true;
    ExpectRequestWithin(now, 0);
    deadline_ = now + kAnswerTimeout;
    const std::uint32_t unset = static_cast<std::uint32_t>(-1);
    pa_buffer_attr buffer{unset, BytesFor(kTargetLatencyMs, spec_), unset, BytesFor(kRequestMs, spec_), unset};
    if (pa_stream_connect_playback(stream_, nullptr, &buffer, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
        Lose("cannot open a playback stream (" + ServerError() + ")");
        return;
    }
    Arm(deadline_);
}

void BeatStream::Engine::CloseStream()
{
    streaming_ = false;
    if (!stream_)
        return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) != PA_STREAM_UNCONNECTED)
        pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void BeatStream::Engine::DropContext()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    if (pa_context_get_state(context_) != PA_CONTEXT_UNCONNECTED)
        pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

// Gives up the connection; plays that keep coming ask for the next attempt.
void BeatStream::Engine::Lose(const std::string& why)
{
    CloseStream();
    DropContext();
    if (!soundLost_) {
        soundLost_ = true;
        report_("sound server: " + why + "; running without sound");
    }
    if (pendingPlay_.exchange(kNoPlay) != kNoPlay)
        attemptWanted_ = true;
    if (NewContext() && attemptWanted_)
        Arm(nextAttemptAt_);
}

bool BeatStream::Engine::Idle() const
{
    return !voice_->Sounding() && framesSincePlay_ >= static_cast<std::size_t>(clip_.sampleRate) * kIdleCloseMs / 1000 &&
           pendingPlay_.load() == kNoPlay;
}

// On the caller's thread, with the lock held: the stream plays what it holds,
// the ding handed over and the fade-out of one still being laid in, unless
// the server takes too long.
void BeatStream::Engine::FadeOutAndDrain()
{
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY)
        return;
    voice_->Stop();
    std::vector<std::int16_t> tail(static_cast<std::size_t>(clip_.sampleRate) * kDrainTailMs / 1000 *
                                   static_cast<std::size_t>(clip_.channels));
    voice_->Fill(tail);
    if (pa_stream_write(stream_, tail.data(), tail.size() * sizeof(std::int16_t), nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return;
    pa_operation* drain = pa_stream_drain(stream_, OnDrained, this);
    if (!drain)
        return;
    drained_ = false;
    Arm(pa_rtclock_now() + kDrainTimeout);
    while (!drained_)
        pa_threaded_mainloop_wait(loop_.get());
    pa_operation_cancel(drain);
    pa_operation_unref(drain);
}

// A server that runs asks for more once it has played what it holds beyond
// what it last asked for: bytesAhead, written now.
void BeatStream::Engine::ExpectRequestWithin(pa_usec_t now, std::size_t bytesAhead)
{
    stallAt_ = std::max(stallAt_, now + pa_bytes_to_usec(bytesAhead, &spec_) + kStallTimeout);
    stallLooks_ = 0;
    Arm(stallAt_);
}

// What a stalled server holds, a ding or silence, would sound late: the
// flush, queued behind the writes it has not read yet, drops it all as soon
// as the server runs again. Once is enough until it asks for more.
void BeatStream::Engine::CheckForStall(pa_usec_t now)
{
    if (now < stallAt_ || stallLooks_ == 2)
        return;
    if (++stallLooks_ == 1) {
        Arm(now + kStallRecheck);
        return;
    }
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr))
        pa_operation_unref(flush);
}

// The server has until the deadline to answer what was asked of it.
void BeatStream::Engine::AwaitAnswer(pa_usec_t now)
{
    if (now >= deadline_)
        Lose("no answer within " + std::to_string(kAnswerTimeout / PA_USEC_PER_SEC) + " seconds");
    else
        Arm(deadline_);
}

void BeatStream::Engine::Arm(pa_usec_t at)
{
    pa_context_rttime_restart(context_, timer_, at);
}

std::string BeatStream::Engine::ServerError() const
{
    return pa_strerror(pa_context_errno(context_));
}

BeatStream::BeatStream(wav::Clip clip, Report report) : engine_(std::make_unique<Engine>(std::move(clip), std::move(report)))
{
}

BeatStream::~BeatStream() = default;

void BeatStream::Play()
{
    engine_->Play();
}

void BeatStream::Stop()
{
    engine_->Stop();
}

}  // namespace sound
