#include "app/tmediaplayer.h"

#include "sound/pulseoutput.h"
#include "sound/wavfile.h"

#include <QFile>

TMediaPlayer::TMediaPlayer(QObject* parent) : QObject(parent) {}

TMediaPlayer::~TMediaPlayer() = default;

void TMediaPlayer::Open()
{
    Close();
    const std::string file = QFile::encodeName(FileName).toStdString();
    wav::ReadResult read = wav::ReadWavFile(file);
    if (!read.ok()) {
        ReportNoSound(file, read.error);
        return;
    }
    const SoundServer server = FindSoundServer();
    if (!server.error.empty()) {
        ReportNoSound("sound server", server.error);
        return;
    }
    stream_ = std::make_unique<BeatStream>(std::move(read.clip), server.address);
}

void TMediaPlayer::Play()
{
    if (stream_)
        stream_->Play();
    emit played();
}

void TMediaPlayer::Close()
{
    stream_.reset();
}
