// The sound stream where no sound server answers: one line says so, the
// server is looked for again only while plays come and at a modest pace, and
// neither start-up nor closing waits for it.

#include "sound/pulseoutput.h"
#include "sound/wavfile.h"
#include "tests/dingrecording.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Plays every 50 ms for the given time, from a thread of its own, as the
// window's sweep would from its thread.
void PlayFor(sound::BeatStream& stream, std::chrono::milliseconds time)
{
    std::thread player([&] {
        for (const auto end = Clock::now() + time; Clock::now() < end;) {
            stream.Play();
            std::this_thread::sleep_for(50ms);
        }
    });
    player.join();
}

// Every test runs where no sound server can be found: a private, empty
// runtime folder and home, and no server named in the environment. The
// client configuration allows autospawn, so that only the stream itself can
// keep a server from being started.
class BeatStreamWithoutServer : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("pulseoutput_test." + std::to_string(::getpid()));
        fs::create_directories(dir_ / "runtime");
        ::setenv("XDG_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
        ::setenv("HOME", dir_.c_str(), 1);
        std::ofstream(dir_ / "client.conf") << "autospawn = yes\n";
        ::setenv("PULSE_CLIENTCONFIG", (dir_ / "client.conf").c_str(), 1);
        for (const char* name : {"PULSE_SERVER", "PULSE_RUNTIME_PATH", "DISPLAY"})
            ::unsetenv(name);
        const wav::ReadResult read = wav::ReadWavFile(DING_WAV);
        ASSERT_TRUE(read.ok()) << read.error;
        clip_ = read.clip;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    wav::Clip clip_;
    dingcheck::ReportedLines lines_;
};

}  // namespace

TEST_F(BeatStreamWithoutServer, NoServerGivesOneLineAndStartsNone)
{
    {
        sound::BeatStream stream(clip_, lines_.Sink());
        const auto said = lines_.WaitFor(1, 30s);
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0], "sound server: not reachable (Connection refused); running without sound");
        // Plays ask for more attempts; none of them says anything more.
        PlayFor(stream, 4500ms);
    }
    EXPECT_EQ(lines_.Lines().size(), 1u);
    // Nothing was spawned in the server's place.
    EXPECT_FALSE(fs::exists(dir_ / "runtime" / "pulse" / "native"));
}

// A server that takes the connection but never says a word: given up on after
// a while, once; looked for again while plays come, at most once every two
// seconds; and never in the way of closing.
TEST_F(BeatStreamWithoutServer, ServerThatNeverAnswersIsTriedAgainOnlyWhilePlaysCome)
{
    fs::create_directories(dir_ / "runtime" / "pulse");
    const std::string socketPath = (dir_ / "runtime" / "pulse" / "native").string();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 16), 0);
    // Each attempt is one connection; the listener never answers any.
    const auto takeAttempts = [listener] {
        int attempts = 0;
        for (int connection; (connection = ::accept(listener, nullptr, nullptr)) >= 0; ++attempts)
            ::close(connection);
        return attempts;
    };

    auto stream = std::make_unique<sound::BeatStream>(clip_, lines_.Sink());
    const auto said = lines_.WaitFor(1, 30s);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "sound server: no answer within 2 seconds; running without sound");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(takeAttempts(), 1) << "attempts without plays";

    const Clock::time_point playsStart = Clock::now();
    PlayFor(*stream, 5000ms);
    const double playing = SecondsSince(playsStart);
    const int attempts = takeAttempts();
    std::printf("%d attempts in %.1f s of plays\n", attempts, playing);
    EXPECT_GE(attempts, 2) << "no attempt again while plays come";
    EXPECT_LE(attempts, 1 + static_cast<int>(playing / 2.0)) << "attempts more often than every 2 s";

    const Clock::time_point closing = Clock::now();
    stream.reset();
    const double closed = SecondsSince(closing);
    std::printf("closing while the server keeps silent took %.1f ms\n", closed * 1000);
    EXPECT_LT(closed, 5.0);
    EXPECT_EQ(lines_.Lines().size(), 1u) << "a line for each attempt";
    ::close(listener);
}
