#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace sound {
class BeatStream;
}

// The window's invisible media player for the heartbeat sound. Open reads the
// file at start-up and sets the sound thread looking for the sound server,
// without waiting for it. A bad or missing file costs one line on standard
// error and leaves the player silent; so does a server that cannot be had,
// and the line that says so is followed by one when sound comes back. The
// monitor never stops for either.
class TMediaPlayer : public QObject
{
    Q_OBJECT

public:
    // Wave audio is the only device this player has; auto-select picks it too.
    enum TMPDeviceTypes { dtAutoSelect, dtWaveAudio };

    explicit TMediaPlayer(QObject* parent = nullptr);
    ~TMediaPlayer() override;

    QString FileName;
    TMPDeviceTypes DeviceType = dtAutoSelect;

    // Reads and checks FileName (a bare name is looked for in the current
    // folder, the program's data folder and beside the program) and starts
    // the sound thread.
    void Open();
    // Starts the clip from its beginning; a play that comes less than 100 ms
    // after the last one let through is the same beat again and is dropped.
    // Never waits; does nothing unless Open found the clip.
    void Play();
    // Drops a play not yet handed to the sound server, so that none asked for
    // before sounds after; a ding the server already holds plays out.
    void Stop();
    // Lets the sound fade out, for a moment at most, and stops its thread,
    // whatever the server does; Play does nothing until the next Open.
    void Close();

signals:
    // Every Play, sounding or not.
    void played();

private:
    std::unique_ptr<sound::BeatStream> stream_;
};
