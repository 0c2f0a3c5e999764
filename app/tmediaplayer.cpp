#include "app/tmediaplayer.h"

#include "sound/clipfile.h"
#include "sound/pulseoutput.h"

#include <QFile>

#include <exception>
#include <stdexcept>

TMediaPlayer::TMediaPlayer(QObject* parent) : QObject(parent) {}

TMediaPlayer::~TMediaPlayer() = default;

void TMediaPlayer::Open()
{
    Close();
    sound::FoundClip found = sound::FindClip(QFile::encodeName(FileName).toStdString(), sound::ClipFolders());
    if (!found.ok()) {
        sound::ReportNoSound(found.subject, found.error);
        return;
    }
    // A clip the stream cannot play is the file's fault; anything else, the
    // sound thread's, which speaks for the server.
    try {
        stream_ = std::make_unique<sound::BeatStream>(std::move(found.clip));
    } catch (const std::invalid_argument& error) {
        sound::ReportNoSound(found.subject, error.what());
    } catch (const std::exception& error) {
        sound::ReportNoSound("sound server", error.what());
    }
}

void TMediaPlayer::Play()
{
    if (stream_)
        stream_->Play();
    emit played();
}

void TMediaPlayer::Stop()
{
    if (stream_)
        stream_->Stop();
}

void TMediaPlayer::Close()
{
    stream_.reset();
}
