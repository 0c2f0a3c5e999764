#include "sound/pulseoutput.h"

#include "sound/beatgate.h"
#include "sound/clipvoice.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
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
#include <cstring>
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
// The stream asks the server to hold this much and to ask for more a request
// at a time. Between dings the server holds silence; a ding is laid over it a
// fixed time after its play (see StartPlay), so what the server holds costs
// no latency, and asking seldom keeps the server's wake-ups, and this
// thread's, few. Both servers give the sink half of what is held beyond two
// requests. PulseAudio's sink then renders 25 ms at a time, and hears of
// the stream once a request. PipeWire's graph cycles at the sink's time,
// every 2048 frames (43 ms at 48 kHz), and each cycle wakes each of its
// processes a few times: any less and it halves its cycle.
struct BufferTimes {
    int bufferMs;
    int requestMs;
};
constexpr BufferTimes kPulseAudioBuffer{90, 20};
constexpr BufferTimes kPipeWireBuffer{170, 40};
// How long after its play a ding sounds on PulseAudio, which says exactly how
// long what it has read takes to be heard: more than its sink ever holds, so
// that a ding is laid past what the sink has taken.
constexpr int kPlayToSoundMs = 50;
// On PipeWire, how far past the position a ding is placed at least, and the
// longest graph cycle the stream's buffer gives (2048 frames at 44.1 kHz).
constexpr int kCycleMarginMs = 2;
constexpr int kLongestCycleMs = 47;
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

// Play and Stop, on the caller's thread, touch only the gate, the waiting
// play and the wake-up's eventfd. Everything below them belongs to the sound
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

    static void OnServerInfo(pa_context*, const pa_server_info* info, void* self);
    static void OnTimingInfo(pa_stream*, int success, void* self);
    static void OnFlushed(pa_stream*, int success, void* self);

    void Step();
    void StartPlay();
    void LayPlay(std::int64_t offset, pa_seek_mode_t seek);
    void Write(std::size_t bytes, std::int64_t offset, pa_seek_mode_t seek, std::size_t heldBefore);
    std::size_t BufferBytes() const;
    std::size_t FramesAhead() const;
    std::size_t HeldBefore(std::int64_t offset, pa_seek_mode_t seek) const;
    std::int64_t TakePlayedAt();
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
    static void Cancel(pa_operation*& operation);
    std::string ServerError() const;

    const wav::Clip clip_;
    const Report report_;
    const pa_sample_spec spec_;

    BeatGate gate_;
    // When the play that waits to be laid into the stream came, in ticks of
    // the gate's clock; kNoPlay when none waits.
    static constexpr std::int64_t kNoPlay = std::numeric_limits<std::int64_t>::min();
    std::atomic<std::int64_t> pendingPlay_{kNoPlay};
    EventFd wake_;

    std::unique_ptr<pa_threaded_mainloop, ThreadedMainloopFree> loop_;
    pa_mainloop_api* api_ = nullptr;
    pa_io_event* wakeEvent_ = nullptr;
    pa_defer_event* stepEvent_ = nullptr;
    pa_time_event* timer_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_operation* serverQuery_ = nullptr;
    pa_operation* timingQuery_ = nullptr;
    std::optional<ClipVoice> voice_;

    bool attemptWanted_ = true;  // at start-up, and when plays came with no server
    pa_usec_t nextAttemptAt_ = 0;
    pa_usec_t deadline_ = 0;  // for the server to answer the connection or the stream
    bool reached_ = false;    // the current connection got through once
    bool soundLost_ = false;  // the last line said there is no sound
    std::size_t framesSincePlay_ = 0;
    std::size_t leadInFramesDue_ = 0;  // silence still to go before anything else, on a new stream
    bool pipeWire_ = false;            // the server is PipeWire's PulseAudio service
    pa_usec_t askedAt_ = 0;            // when the server last asked for more
    pa_usec_t stallAt_ = 0;            // a server that has asked for nothing more by then is stalled
    int stallLooks_ = 0;               // how often the sound thread found it so since, up to 2
    pa_usec_t clipEndsAt_ = 0;         // when the server, running, reads the end of what it holds of the clip

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
    // A play that finds one waiting leaves the wake-up to that one's.
    if (pendingPlay_.exchange(now.time_since_epoch().count()) == kNoPlay) {
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

// Takes the waiting play from its slot: when it came, or kNoPlay if none
// waits that is young enough to sound.
std::int64_t BeatStream::Engine::TakePlayedAt()
{
    const std::int64_t playedAt = pendingPlay_.exchange(kNoPlay);
    return playedAt == kNoPlay || Stale(playedAt) ? kNoPlay : playedAt;
}

bool BeatStream::Engine::TakePlay()
{
    return TakePlayedAt() != kNoPlay;
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

void BeatStream::Engine::OnServerInfo(pa_context*, const pa_server_info* info, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    pa_operation_unref(engine->serverQuery_);
    engine->serverQuery_ = nullptr;
    engine->pipeWire_ = info && info->server_name && std::strstr(info->server_name, "PipeWire");
    // A play may wait for the stream that fits the server.
    engine->api_->defer_enable(engine->stepEvent_, 1);
}

void BeatStream::Engine::OnDrained(pa_stream*, int, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    engine->drained_ = true;
    pa_threaded_mainloop_signal(engine->loop_.get(), 0);
}

// The server asks for more: silence, or the clip going on, and a new
// stream's lead-in first, with the play that opened the stream behind it.
// What is left of a sounding clip goes out at once, up to a limit, so that no
// delay of this thread can break a ding up.
void BeatStream::Engine::OnWriteRequest(pa_stream*, std::size_t bytes, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    if (engine->quitting_)
        return;
    const pa_usec_t now = pa_rtclock_now();
    engine->askedAt_ = now;
    if (engine->leadInFramesDue_ > 0 && engine->TakePlay()) {
        engine->voice_->Play();
        engine->framesSincePlay_ = 0;
    }
    const std::size_t frameBytes = pa_frame_size(&engine->spec_);
    const std::size_t wanted = std::max(bytes, (engine->leadInFramesDue_ + engine->FramesAhead()) * frameBytes);
    engine->ExpectRequestWithin(now, wanted - bytes);
    // It asks for what fills its buffer: the rest it holds.
    const std::size_t held = engine->BufferBytes() - std::min(bytes, engine->BufferBytes());
    engine->Write(wanted, 0, PA_SEEK_RELATIVE, held);
    engine->StartPlay();
    // The stream is closed outside its own callback.
    if (engine->Idle())
        engine->api_->defer_enable(engine->stepEvent_, 1);
}

// Once a new stream has its lead-in, a play is laid over the silence the
// server holds, a fixed time after the play rather than behind all of it.
// Where that is in the stream, each server tells in its own way.
void BeatStream::Engine::StartPlay()
{
    if (timingQuery_ || leadInFramesDue_ > 0 || !PlayWaiting())
        return;
    if (stallLooks_ > 0) {
        // The server has stalled: whatever it is given now sounds late,
        // until it has read the flush.
        TakePlay();
        return;
    }
    if (pa_rtclock_now() < clipEndsAt_) {
        // Laid over the silence, it would cut the last ding short: it goes
        // behind what the server holds. Only plays closer than the clip is
        // long come here, never two beats.
        TakePlay();
        LayPlay(0, PA_SEEK_RELATIVE);
        return;
    }
    if (pipeWire_) {
        // PipeWire moves its read position a graph cycle at a time, and asks
        // for more right after each cycle: the sound heard now is as far past
        // that position as the time since the last request.
        TakePlay();
        const pa_usec_t sinceCycle = std::min<pa_usec_t>(pa_rtclock_now() - askedAt_, kLongestCycleMs * PA_USEC_PER_MSEC);
        LayPlay(static_cast<std::int64_t>(BytesFor(kCycleMarginMs, spec_) + pa_usec_to_bytes(sinceCycle, &spec_)),
                PA_SEEK_RELATIVE_ON_READ);
        return;
    }
    // PulseAudio says how long what it has read takes to be heard.
    timingQuery_ = pa_stream_update_timing_info(stream_, OnTimingInfo, this);
    if (!timingQuery_)
        LayPlay(BytesFor(kPlayToSoundMs, spec_), PA_SEEK_RELATIVE_ON_READ);
}

void BeatStream::Engine::OnTimingInfo(pa_stream* stream, int success, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    pa_operation_unref(engine->timingQuery_);
    engine->timingQuery_ = nullptr;
    const std::int64_t playedAt = engine->TakePlayedAt();
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (!success || playedAt == kNoPlay || !timing)
        return;
    const BeatGate::Clock::duration sincePlay =
        BeatGate::Clock::now() - BeatGate::Clock::time_point(BeatGate::Clock::duration(playedAt));
    const auto sincePlayUs = std::chrono::duration_cast<std::chrono::microseconds>(sincePlay).count();
    const std::int64_t aheadUs = std::int64_t{kPlayToSoundMs} * 1000 - sincePlayUs -
                                 static_cast<std::int64_t>(timing->sink_usec) +
                                 static_cast<std::int64_t>(timing->transport_usec);
    // A ding that cannot be on time is late rather than cut at its start.
    const pa_usec_t ahead = static_cast<pa_usec_t>(std::max<std::int64_t>(aheadUs, 0));
    engine->LayPlay(static_cast<std::int64_t>(pa_usec_to_bytes(ahead, &engine->spec_)), PA_SEEK_RELATIVE_ON_READ);
}

// Starts the clip at offset bytes past the position the server reads next,
// replacing the silence it held there, or behind all it holds.
void BeatStream::Engine::LayPlay(std::int64_t offset, pa_seek_mode_t seek)
{
    voice_->Play();
    framesSincePlay_ = 0;
    const std::size_t frameBytes = pa_frame_size(&spec_);
    offset -= offset % static_cast<std::int64_t>(frameBytes);
    const std::size_t bytes = FramesAhead() * frameBytes;
    const std::size_t held = HeldBefore(offset, seek);
    Write(bytes, offset, seek, held);
    // The server asks for nothing more until it has read the clip.
    ExpectRequestWithin(pa_rtclock_now(), held + bytes);
}

// How much the server holds before what is written at the given place: the
// offset past its read position, or at most its buffer when behind all of it.
std::size_t BeatStream::Engine::HeldBefore(std::int64_t offset, pa_seek_mode_t seek) const
{
    return seek == PA_SEEK_RELATIVE_ON_READ ? static_cast<std::size_t>(offset) : BufferBytes();
}

// What the server holds when its buffer is full, as it agreed to.
std::size_t BeatStream::Engine::BufferBytes() const
{
    const pa_buffer_attr* buffer = pa_stream_get_buffer_attr(stream_);
    return buffer ? buffer->tlength : 0;
}

// Writes the next bytes of the stream (the lead-in, then the voice), the
// first stretch at the given place, the rest behind it; the server holds
// heldBefore bytes before that place, which it plays first.
void BeatStream::Engine::Write(std::size_t bytes, std::int64_t offset, pa_seek_mode_t seek, std::size_t heldBefore)
{
    const std::size_t frameBytes = pa_frame_size(&spec_);
    const auto channels = static_cast<std::size_t>(clip_.channels);
    const pa_usec_t now = pa_rtclock_now();
    std::size_t ahead = heldBefore;
    while (bytes >= frameBytes) {
        void* data = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream_, &data, &size) < 0 || !data)
            return;  // the stream is failing: its state callback follows
        size -= size % frameBytes;
        if (size == 0) {
            pa_stream_cancel_write(stream_);
            return;
        }
        const std::span out(static_cast<std::int16_t*>(data), size / sizeof(std::int16_t));
        const std::size_t silent = std::min(out.size(), leadInFramesDue_ * channels);
        std::fill_n(out.begin(), silent, std::int16_t{0});
        leadInFramesDue_ -= silent / channels;
        const bool clip = voice_->Sounding();
        voice_->Fill(out.subspan(silent));
        if (pa_stream_write(stream_, data, size, nullptr, offset, seek) < 0)
            return;
        ahead += size;
        if (clip)
            clipEndsAt_ = std::max(clipEndsAt_, now + pa_bytes_to_usec(ahead, &spec_));
        offset = 0;
        seek = PA_SEEK_RELATIVE;
        bytes -= size;
        framesSincePlay_ += size / frameBytes;
    }
}

std::size_t BeatStream::Engine::FramesAhead() const
{
    return std::min(voice_->FramesLeft(), static_cast<std::size_t>(clip_.sampleRate) * kWriteAheadMs / 1000);
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
        if (!reached_) {
            reached_ = true;
            serverQuery_ = pa_context_get_server_info(context_, OnServerInfo, this);
        }
        break;
    }

    if (!stream_) {
        if (serverQuery_)
            AwaitAnswer(now);  // the stream is made to suit the server
        else if (PlayWaiting())
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
        StartPlay();
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
    pipeWire_ = false;
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
    askedAt_ = now;
    ExpectRequestWithin(now, 0);
    deadline_ = now + kAnswerTimeout;
    const std::uint32_t unset = static_cast<std::uint32_t>(-1);
    const BufferTimes times = pipeWire_ ? kPipeWireBuffer : kPulseAudioBuffer;
    pa_buffer_attr buffer{unset, BytesFor(times.bufferMs, spec_), unset, BytesFor(times.requestMs, spec_), unset};
    if (pa_stream_connect_playback(stream_, nullptr, &buffer, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
        Lose("cannot open a playback stream (" + ServerError() + ")");
        return;
    }
    Arm(deadline_);
}

void BeatStream::Engine::CloseStream()
{
    if (!stream_)
        return;
    Cancel(timingQuery_);
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
    Cancel(serverQuery_);
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
    // Once the server has read the last ding and it has had time to be
    // heard, the server holds only silence.
    if (!voice_->Sounding() && pa_rtclock_now() > clipEndsAt_ + kPlayToSoundMs * PA_USEC_PER_MSEC)
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
    if (pa_operation* flush = pa_stream_flush(stream_, OnFlushed, this))
        pa_operation_unref(flush);
}

// The server has read the flush: it runs again, and plays are laid again.
void BeatStream::Engine::OnFlushed(pa_stream*, int, void* self)
{
    static_cast<Engine*>(self)->stallLooks_ = 0;
}

void BeatStream::Engine::Cancel(pa_operation*& operation)
{
    if (!operation)
        return;
    pa_operation_cancel(operation);
    pa_operation_unref(operation);
    operation = nullptr;
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
