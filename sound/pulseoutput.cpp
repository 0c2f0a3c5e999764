#include "sound/pulseoutput.h"

#include "sound/clipvoice.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/sample.h>
#include <pulse/simple.h>
#include <pulse/timeval.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr const char* kClientName = "EKG Demo using QUOR";
constexpr const char* kStreamName = "heartbeat";
constexpr auto kServerTimeout = std::chrono::seconds(2);
// The server holds about this much ahead of what is heard: a ding starts at
// most this (plus one chunk) after its play.
constexpr int kTargetLatencyMs = 40;
constexpr int kChunkMs = 10;
constexpr int kIdleCloseMs = 1000;

struct MainloopFree {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextUnref {
    void operator()(pa_context* context) const { pa_context_unref(context); }
};

std::uint32_t BytesFor(int milliseconds, const pa_sample_spec& spec)
{
    return static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(milliseconds) * PA_USEC_PER_MSEC, &spec));
}

}  // namespace

void ReportNoSound(std::string_view subject, std::string_view reason)
{
    std::fprintf(stderr, "%.*s: %.*s; running without sound\n", static_cast<int>(subject.size()),
                 subject.data(), static_cast<int>(reason.size()), reason.data());
}

SoundServer FindSoundServer()
{
    const std::unique_ptr<pa_mainloop, MainloopFree> loop(pa_mainloop_new());
    const std::unique_ptr<pa_context, ContextUnref> context(
        loop ? pa_context_new(pa_mainloop_get_api(loop.get()), kClientName) : nullptr);
    if (!context)
        return {{}, "out of memory"};
    // Without NOAUTOSPAWN the library would try to start a server of its own.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return {{}, std::string("not reachable (") + pa_strerror(pa_context_errno(context.get())) + ")"};

    SoundServer result;
    const auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context.get());
        if (state == PA_CONTEXT_READY) {
            const char* address = pa_context_get_server(context.get());
            if (address)
                result.address = address;
            else
                result.error = "answered without an address";
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            result.error = std::string("not reachable (") +
                           pa_strerror(pa_context_errno(context.get())) + ")";
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.error = "no answer within " + std::to_string(kServerTimeout.count()) + " seconds";
            break;
        }
        if (pa_mainloop_prepare(loop.get(), static_cast<int>(left.count())) < 0 ||
            pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0) {
            result.error = "lost while connecting";
            break;
        }
    }
    pa_context_disconnect(context.get());
    return result;
}

BeatStream::BeatStream(wav::Clip clip, std::string serverAddress)
    : clip_(std::move(clip)), server_(std::move(serverAddress)), thread_([this] { Run(); })
{
}

BeatStream::~BeatStream()
{
    requests_.fetch_or(kQuit);
    requests_.notify_one();
    thread_.join();
}

void BeatStream::Play()
{
    if (failed_.load(std::memory_order_relaxed))
        return;
    requests_.fetch_or(kPlay);
    requests_.notify_one();
}

void BeatStream::Run()
{
    for (;;) {
        requests_.wait(0);  // sleeps until the first play, or the end
        if (requests_.load() & kQuit)
            return;
        if (!PlayUntilIdle()) {
            failed_ = true;
            return;
        }
    }
}

// Opens a stream, plays the clip at every request and silence in between, and
// closes the stream after a while without requests or when asked to quit.
// Returns false, having said why, if the server failed us.
bool BeatStream::PlayUntilIdle()
{
    const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(clip_.sampleRate),
                              static_cast<std::uint8_t>(clip_.channels)};
    const std::uint32_t unset = static_cast<std::uint32_t>(-1);
    const pa_buffer_attr buffer{unset, BytesFor(kTargetLatencyMs, spec), unset,
                                BytesFor(kChunkMs, spec), unset};
    int error = 0;
    // Naming the server that answered also keeps the library from starting one of its own.
    pa_simple* stream = pa_simple_new(server_.c_str(), kClientName, PA_STREAM_PLAYBACK, nullptr,
                                      kStreamName, &spec, nullptr, &buffer, &error);
    if (!stream) {
        ReportNoSound("sound server", std::string("cannot open a playback stream (") +
                                          pa_strerror(error) + ")");
        return false;
    }

    sound::ClipVoice voice(clip_);
    const std::size_t chunkFrames = static_cast<std::size_t>(clip_.sampleRate) * kChunkMs / 1000;
    const std::size_t idleFrames = static_cast<std::size_t>(clip_.sampleRate) * kIdleCloseMs / 1000;
    std::vector<std::int16_t> chunk(chunkFrames * static_cast<std::size_t>(clip_.channels));
    std::size_t framesSincePlay = 0;
    bool ok = true;
    for (bool quitting = false; ok && !quitting;) {
        // The quit request stays set, so that Run ends after this.
        const unsigned requests = requests_.fetch_and(~kPlay);
        if (requests & kQuit) {
            voice.Stop();  // the last chunk carries the fade-out
            quitting = true;
        } else if (requests & kPlay) {
            voice.Play();
            framesSincePlay = 0;
        } else if (!voice.Sounding() && framesSincePlay >= idleFrames) {
            break;
        }
        voice.Fill(chunk);
        // Blocks until the server has room, which paces this loop in real time.
        ok = pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(std::int16_t), &error) >= 0;
        framesSincePlay += chunkFrames;
    }
    if (ok && pa_simple_drain(stream, &error) < 0)
        ok = false;
    if (!ok)
        ReportNoSound("sound server", std::string("playback failed (") + pa_strerror(error) + ")");
    pa_simple_free(stream);
    return ok;
}
