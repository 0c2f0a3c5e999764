// The media player where there is nothing to play: bad files and no sound
// server each cost one line on standard error and leave a silent player.

#include "app/tmediaplayer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

// Opens the file with a player and returns what the player wrote to standard
// error, after a few plays that must do nothing.
std::string OpenAndPlay(const fs::path& file)
{
    TMediaPlayer player(nullptr);
    player.FileName = QString::fromStdString(file.string());
    player.DeviceType = TMediaPlayer::dtWaveAudio;
    testing::internal::CaptureStderr();
    player.Open();
    for (int n = 0; n < 3; ++n)
        player.Play();
    player.Close();
    return testing::internal::GetCapturedStderr();
}

void ExpectOneLine(const std::string& output, const std::string& subject, const std::string& reason)
{
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_EQ(output.rfind(subject + ": ", 0), 0u) << output;
    EXPECT_NE(output.find(reason), std::string::npos) << output;
    EXPECT_TRUE(output.ends_with("; running without sound\n")) << output;
}

void WriteFile(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

// Every test runs where no sound server can be found: a private, empty
// runtime folder and home, and no server named in the environment. The
// client configuration allows autospawn, so that only the player itself can
// keep a server from being started.
class MediaPlayerWithoutSound : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("mediaplayer_test." + std::to_string(::getpid()));
        fs::create_directories(dir_ / "runtime");
        ::setenv("XDG_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
        ::setenv("HOME", dir_.c_str(), 1);
        WriteFile(dir_ / "client.conf", "autospawn = yes\n");
        ::setenv("PULSE_CLIENTCONFIG", (dir_ / "client.conf").c_str(), 1);
        for (const char* name : {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "DISPLAY"})
            ::unsetenv(name);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

}  // namespace

TEST_F(MediaPlayerWithoutSound, EachBadFileGivesOneLineNamingIt)
{
    const fs::path missing = dir_ / "ding.wav";
    ExpectOneLine(OpenAndPlay(missing), missing.string(), "No such file or directory");

    const fs::path empty = dir_ / "empty.wav";
    WriteFile(empty, "");
    ExpectOneLine(OpenAndPlay(empty), empty.string(), "file is empty");

    const fs::path text = dir_ / "text.wav";
    WriteFile(text, "This is not a sound at all.\n");
    ExpectOneLine(OpenAndPlay(text), text.string(), "not a RIFF WAVE file");

    const fs::path truncated = dir_ / "truncated.wav";
    WriteFile(truncated, std::string("RIFF\x24\x10\0\0WAVEfmt ", 16));
    ExpectOneLine(OpenAndPlay(truncated), truncated.string(), "truncated");

    // A sparse file: refused by its size alone, without reading a gigabyte.
    const fs::path huge = dir_ / "huge.wav";
    WriteFile(huge, "RIFF");
    fs::resize_file(huge, std::uintmax_t{1} << 30);
    ExpectOneLine(OpenAndPlay(huge), huge.string(), "file too large");

    ExpectOneLine(OpenAndPlay(dir_), dir_.string(), "not a regular file");
}

TEST_F(MediaPlayerWithoutSound, NoServerGivesOneLineAndStartsNone)
{
    ExpectOneLine(OpenAndPlay(DING_WAV), "sound server", "not reachable");
    // Nothing was spawned in the server's place.
    EXPECT_FALSE(fs::exists(dir_ / "runtime" / "pulse" / "native"));
}

// A server that takes the connection but never says a word must not hold up start-up for good.
TEST_F(MediaPlayerWithoutSound, ServerThatNeverAnswersIsGivenUpOn)
{
    fs::create_directories(dir_ / "runtime" / "pulse");
    const std::string socketPath = (dir_ / "runtime" / "pulse" / "native").string();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    ExpectOneLine(OpenAndPlay(DING_WAV), "sound server", "no answer");
    ::close(listener);
}
