#pragma once

// The beat sound's way out, through the desktop's sound server (PulseAudio, or
// PipeWire speaking its protocol) with PulseAudio's client library.

#include "sound/wavfile.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace sound {

// Writes "<subject>: <reason>; running without sound" as one line to standard error.
void ReportNoSound(std::string_view subject, std::string_view reason);

// Plays one clip on demand from a thread of its own, which alone ever talks
// to the sound server and never waits on it, so that neither the caller nor
// the destructor can be held up by a server that is slow, frozen or gone.
//
// One ding per beat: the plays of one beat count once (see BeatGate), and a
// play that cannot sound within about a tenth of a second, while the server
// is frozen, suspended or slow to answer, is dropped rather than sounding on
// no beat. The stream opens at a play, with a little silence before the
// first ding, and stays open while plays come, fed silence without a break;
// each later ding is laid over that silence a fixed time after its play, so
// that the server can hold much and ask seldom without the dings coming
// late, and no play is lost or cut short however busy the caller is. After
// about a second without a play it closes, so an idle program leaves the
// sound card alone. A server that stalls while it holds sound has what it
// holds dropped, so that nothing old sounds when it runs again. Where the
// server cannot be had, or is lost, it is looked for again while plays come,
// at most once every two seconds; the first failure and the return each give
// one line.
class BeatStream {
public:
    // Receives each line the stream has to say, on the sound thread.
    using Report = std::function<void(const std::string& line)>;

    // Starts looking for the server at once, without waiting for it. Throws
    // std::invalid_argument for a clip that is not one or two channels of
    // whole frames at a rate wav::ParseWav accepts.
    explicit BeatStream(wav::Clip clip, Report report = WriteToStandardError);
    // Lets what is sounding play out (for a moment at most) and stops the
    // sound thread, whatever the server does.
    ~BeatStream();

    BeatStream(const BeatStream&) = delete;
    BeatStream& operator=(const BeatStream&) = delete;

    // Starts the clip at the next stretch of the stream, unless the play is
    // the same beat again. A clock read and a few atomic operations, and a
    // wake-up of the sound thread when it sleeps; never a wait.
    void Play();
    // Drops a play not yet handed to the server; a ding it already holds
    // plays out. Never waits.
    void Stop();

    static void WriteToStandardError(const std::string& line);

private:
    class Engine;
    std::unique_ptr<Engine> engine_;
};

}  // namespace sound
