#include "app/tmediaplayer.h"

#include "sound/clipfile.h"
#include "sound/pulseoutput.h"

#include <QFile>

TMediaPlayer::TMediaPlayer(QObject* parent) : QObject(parent) {}

TMediaPlayer::~TMediaPlayer() = default;

void TMediaPlayer::Open()
{
    Close();
    sound::FoundClip found = sound::FindClip(QFile::encodeName(FileName).toStdString(), sound::ClipFolders());
    if (!found.ok()) {
        ReportNoSound(found.subject, found.error);
        return;
    }
    const SoundServer server = FindSoundServer();
    if (!server.error.empty()) {
        ReportNoSound("sound server", server.error);
        return;
    }
    stream_ = std::make_unique<BeatStream>(std::move(found.clip), server.address);
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
