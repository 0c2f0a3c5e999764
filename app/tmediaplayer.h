#pragma once

#include <QObject>
#include <QString>

// The window's invisible media player for the heartbeat sound; silent for now.
class TMediaPlayer : public QObject
{
    Q_OBJECT

public:
    enum TMPDeviceTypes { dtAutoSelect, dtWaveAudio };

    using QObject::QObject;

    QString FileName;
    TMPDeviceTypes DeviceType = dtAutoSelect;

    void Open() {}
    void Play() {}
};
