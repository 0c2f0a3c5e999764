#pragma once

#include <QObject>
#include <QString>

#include <memory>

class BeatStream;

// The window's invisible media player for the heartbeat sound. Open checks the
// file and the sound server once, at start-up; any problem there costs one line
// on standard error and leaves the player silent, never the monitor stopped.
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

    // Reads and checks FileName and looks for a sound server.
    void Open();
    // Starts the clip from its beginning; a clip that is still playing restarts.
    // Costs the caller a few microseconds and never waits; does nothing unless
    // Open succeeded.
    void Play();
    // Lets the sound fade out and stops its thread; Play does nothing until the next Open.
    void Close();

signals:
    // Every Play, sounding or not.
    void played();

private:
    std::unique_ptr<BeatStream> stream_;
};
