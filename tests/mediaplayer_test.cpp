// The window's media player where there is nothing to play: each bad file
// costs one line on standard error, naming it, and leaves a silent player.

#include "app/tmediaplayer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

std::ptrdiff_t Threads()
{
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
}

// Opens the file with a player and plays it a few times, which must start no
// sound thread; returns what the player wrote to standard error meanwhile.
std::string OpenAndPlay(const fs::path& file)
{
    TMediaPlayer player(nullptr);
    player.FileName = QString::fromStdString(file.string());
    player.DeviceType = TMediaPlayer::dtWaveAudio;
    const std::ptrdiff_t threads = Threads();
    testing::internal::CaptureStderr();
    player.Open();
    for (int n = 0; n < 3; ++n)
        player.Play();
    EXPECT_EQ(Threads(), threads) << file;
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

}  // namespace

TEST(MediaPlayer, EachBadFileGivesOneLineNamingIt)
{
    const fs::path dir = fs::temp_directory_path() / ("mediaplayer_test." + std::to_string(::getpid()));
    fs::create_directories(dir);

    const fs::path missing = dir / "ding.wav";
    ExpectOneLine(OpenAndPlay(missing), missing.string(), "No such file or directory");

    const fs::path text = dir / "text.wav";
    WriteFile(text, "This is not a sound at all.\n");
    ExpectOneLine(OpenAndPlay(text), text.string(), "not a RIFF WAVE file");

    // A sparse file: refused by its size alone, without reading a gigabyte.
    const fs::path huge = dir / "huge.wav";
    WriteFile(huge, "RIFF");
    fs::resize_file(huge, std::uintmax_t{1} << 30);
    ExpectOneLine(OpenAndPlay(huge), huge.string(), "file too large");

    ExpectOneLine(OpenAndPlay(dir), dir.string(), "not a regular file");
    fs::remove_all(dir);
}
