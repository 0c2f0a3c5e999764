#pragma once

// The beat sound's way out, through the desktop's sound server (PulseAudio, or
// PipeWire speaking its protocol) with PulseAudio's client library.

#include "sound/wavfile.h"

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

// Writes "<subject>: <reason>; running without sound" as one line to standard error.
void ReportNoSound(std::string_view subject, std::string_view reason);

struct SoundServer {
    std::string address;  // where a server answered
    std::string error;    // why none did; empty when one did
};

// Looks for a running sound server without ever starting one, and gives up
// after a couple of seconds if a server takes the connection but never answers.
SoundServer FindSoundServer();

// Plays one clip on demand from a thread of its own. The thread keeps a
// playback stream open while plays come, feeding it the clip or silence
// without a break, so that no play is lost or cut short however busy the
// caller is; after about a second without a play it closes the stream, so an
// idle program leaves the sound card alone. A play while the clip is still
// sounding restarts it.
class BeatStream {
public:
    BeatStream(wav::Clip clip, std::string serverAddress);
    // Fades out what is sounding, drains the stream and joins the thread.
    ~BeatStream();

    BeatStream(const BeatStream&) = delete;
    BeatStream& operator=(const BeatStream&) = delete;

    // Only signals the sound thread: a few atomic operations, never a wait.
    void Play();

private:
    static constexpr unsigned kPlay = 1;
    static constexpr unsigned kQuit = 2;

    void Run();
    bool PlayUntilIdle();

    const wav::Clip clip_;
    const std::string server_;
    std::atomic<unsigned> requests_{0};
    std::atomic<bool> failed_{false};
    std::thread thread_;  // last, so that it starts after everything it reads
};
