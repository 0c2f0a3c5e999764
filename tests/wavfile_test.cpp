// Reading WAV files: what is played, what is refused, where the clip is
// looked for, and the generated ding.

#include "sound/clipfile.h"
#include "sound/wavfile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void PutU16(std::vector<std::uint8_t>& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    PutU16(out, value & 0xFFFF);
    PutU16(out, value >> 16);
}

void PutChunk(std::vector<std::uint8_t>& out, const std::string& tag, const std::vector<std::uint8_t>& body)
{
    out.insert(out.end(), tag.begin(), tag.end());
    PutU32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    if (body.size() % 2)
        out.push_back(0);
}

struct FormatFields {
    unsigned tag = 1;
    unsigned channels = 1;
    std::uint32_t rate = 22050;
    unsigned bits = 16;
};

std::vector<std::uint8_t> FormatBody(const FormatFields& f)
{
    std::vector<std::uint8_t> body;
    const unsigned frameBytes = f.channels * f.bits / 8;
    PutU16(body, f.tag);
    PutU16(body, f.channels);
    PutU32(body, f.rate);
    PutU32(body, f.rate * frameBytes);
    PutU16(body, frameBytes);
    PutU16(body, f.bits);
    return body;
}

// A RIFF WAVE file made of the given chunks, with a true RIFF size.
std::vector<std::uint8_t> Wave(const std::vector<std::uint8_t>& chunks)
{
    std::vector<std::uint8_t> file{'R', 'I', 'F', 'F'};
    PutU32(file, static_cast<std::uint32_t>(4 + chunks.size()));
    file.insert(file.end(), {'W', 'A', 'V', 'E'});
    file.insert(file.end(), chunks.begin(), chunks.end());
    return file;
}

std::vector<std::uint8_t> SimpleWave(const FormatFields& format, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> chunks;
    PutChunk(chunks, "fmt ", FormatBody(format));
    PutChunk(chunks, "data", data);
    return Wave(chunks);
}

// A fresh folder of the test's own, removed afterwards.
class TempFolder {
public:
    TempFolder() : path_(fs::temp_directory_path() / ("wavfile_test." + std::to_string(::getpid())))
    {
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }

    fs::path operator/(const std::string& name) const { return path_ / name; }
    std::string str() const { return path_.string(); }

private:
    fs::path path_;
};

void CopyDing(const fs::path& to)
{
    fs::create_directories(to.parent_path());
    fs::copy_file(DING_WAV, to, fs::copy_options::overwrite_existing);
}

}  // namespace

TEST(WavFile, DecodesSixteenBitAndEightBitSamples)
{
    // At the highest sample rate played, and the lowest.
    const wav::ReadResult sixteen =
        wav::ParseWav(SimpleWave({.rate = wav::kMaxSampleRate}, {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80}));
    ASSERT_TRUE(sixteen.ok()) << sixteen.error;
    EXPECT_EQ(sixteen.clip.channels, 1);
    EXPECT_EQ(sixteen.clip.sampleRate, wav::kMaxSampleRate);
    EXPECT_EQ(sixteen.clip.samples, (std::vector<std::int16_t>{1, -1, -32768}));

    const wav::ReadResult eight =
        wav::ParseWav(SimpleWave({.channels = 2, .rate = wav::kMinSampleRate, .bits = 8}, {0x80, 0x00, 0xFF, 0x81}));
    ASSERT_TRUE(eight.ok()) << eight.error;
    EXPECT_EQ(eight.clip.channels, 2);
    EXPECT_EQ(eight.clip.samples, (std::vector<std::int16_t>{0, -32768, 32512, 256}));
}

TEST(WavFile, SkipsOtherChunksIncludingOddSizedOnes)
{
    std::vector<std::uint8_t> chunks;
    PutChunk(chunks, "LIST", {'a', 'b', 'c'});  // odd size, so a pad byte follows
    PutChunk(chunks, "fmt ", FormatBody({}));
    PutChunk(chunks, "fact", {1, 2, 3, 4});
    PutChunk(chunks, "data", {0x10, 0x00});
    const wav::ReadResult read = wav::ParseWav(Wave(chunks));
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_EQ(read.clip.samples, std::vector<std::int16_t>{16});
}

TEST(WavFile, RejectsWhatItCannotPlayWithAReason)
{
    const std::vector<std::uint8_t> good = SimpleWave({}, {1, 0, 2, 0});
    std::vector<std::uint8_t> lyingData = good;
    lyingData[40] = 6;  // data size a frame beyond the file
    std::vector<std::uint8_t> dataFirst;
    PutChunk(dataFirst, "data", {1, 0});
    PutChunk(dataFirst, "fmt ", FormatBody({}));
    std::vector<std::uint8_t> lyingAlign = good;
    lyingAlign[32] = 4;  // block align of a stereo file in a mono header
    std::vector<std::uint8_t> onlyFormat;
    PutChunk(onlyFormat, "fmt ", FormatBody({}));

    const struct {
        const char* what;
        std::vector<std::uint8_t> bytes;
        const char* reason;
    } cases[] = {
        {"empty", {}, "file is empty"},
        {"text", std::vector<std::uint8_t>(100, 'x'), "not a RIFF WAVE file"},
        {"zero RIFF size", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}, "announces no content"},
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 3), "truncated"},
        {"data size lies", lyingData, "runs past the end"},
        {"block align lies", lyingAlign, "contradicts itself"},
        {"ADPCM", SimpleWave({.tag = 2, .bits = 4}, {1, 2}), "not a PCM WAV file (format tag 2)"},
        {"extensible", SimpleWave({.tag = 0xFFFE}, {1, 0}), "not a PCM WAV file"},
        {"24-bit", SimpleWave({.bits = 24}, {1, 2, 3}), "sample size (24 bits"},
        {"six channels", SimpleWave({.channels = 6}, std::vector<std::uint8_t>(12)), "channel count (6"},
        {"1 kHz", SimpleWave({.rate = 1000}, {1, 0}), "sample rate (1000 Hz"},
        {"data before format", Wave(dataFirst), "no format chunk before the data"},
        {"no data", Wave(onlyFormat), "no data chunk"},
        {"no samples", SimpleWave({}, {}), "no samples"},
        {"half a frame", SimpleWave({.channels = 2}, {1, 0, 2, 0, 3, 0}), "whole number of frames"},
        {"too large", std::vector<std::uint8_t>(wav::kMaxFileBytes + 1), "file too large"},
    };
    for (const auto& c : cases) {
        const wav::ReadResult read = wav::ParseWav(c.bytes);
        EXPECT_FALSE(read.ok()) << c.what;
        EXPECT_NE(read.error.find(c.reason), std::string::npos) << c.what << ": " << read.error;
    }
}

// Every cut of a file and every damaged header byte must be refused or give
// samples that came from the file: nothing may be read past the bytes at hand.
TEST(WavFile, DamagedFilesAreRefusedOrStayInBounds)
{
    std::vector<std::uint8_t> chunks;
    PutChunk(chunks, "LIST", {'x'});
    PutChunk(chunks, "fmt ", FormatBody({.channels = 2}));
    PutChunk(chunks, "data", {1, 0, 2, 0, 3, 0, 4, 0});
    const std::vector<std::uint8_t> good = Wave(chunks);
    ASSERT_TRUE(wav::ParseWav(good).ok());

    for (std::size_t size = 0; size < good.size(); ++size) {
        // An exact-sized copy, so that a memory checker sees any read past its end.
        const std::vector<std::uint8_t> cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(wav::ParseWav(cut).ok()) << "cut to " << size << " bytes";
    }
    for (std::size_t at = 0; at < good.size() - 8; ++at) {
        for (std::uint8_t value : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{0x7F}, std::uint8_t{0xFF}}) {
            std::vector<std::uint8_t> damaged = good;
            damaged[at] = value;
            const wav::ReadResult read = wav::ParseWav(damaged);
            if (read.ok()) {
                EXPECT_LE(read.clip.samples.size(), 4u) << "byte " << at << " set to " << int{value};
            }
        }
    }
}

// The file is opened once and never waited on; the system's reason is given.
TEST(WavFile, OpensWithoutWaitingAndSaysWhyItCannot)
{
    const TempFolder dir;
    // A FIFO without a writer: an ordinary open for reading would wait for one forever.
    const fs::path fifo = dir / "fifo.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(wav::ReadWavFile(fifo).error, "not a regular file");

    const wav::ReadResult missing = wav::ReadWavFile(dir / "missing.wav");
    EXPECT_EQ(missing.error, "cannot open (No such file or directory)");
    EXPECT_TRUE(missing.notFound);

    const fs::path loop = dir / "loop.wav";
    fs::create_symlink(loop, loop);
    const wav::ReadResult looped = wav::ReadWavFile(loop);
    EXPECT_EQ(looped.error, "cannot open (Too many levels of symbolic links)");
    EXPECT_FALSE(looped.notFound);

    // A regular file that cannot be read from its start.
    EXPECT_EQ(wav::ReadWavFile("/proc/self/mem").error, "cannot read (Input/output error)");
}

// A bare name: the first folder that has the file is the one read, whatever it holds.
TEST(ClipFile, LooksForABareNameFolderByFolder)
{
    const TempFolder dir;
    const std::vector<std::string> folders{(dir / "cwd").string(), (dir / "data").string(),
                                           (dir / "beside").string()};
    for (const std::string& folder : folders)
        fs::create_directories(folder);

    sound::FoundClip found = sound::FindClip("ding.wav", folders);
    EXPECT_EQ(found.subject, "ding.wav");
    EXPECT_EQ(found.error, "not found in " + folders[0] + ", " + folders[1] + " or " + folders[2]);

    CopyDing(dir / "beside" / "ding.wav");
    found = sound::FindClip("ding.wav", folders);
    EXPECT_TRUE(found.ok()) << found.error;
    EXPECT_EQ(found.subject, folders[2] + "/ding.wav");
    EXPECT_FALSE(found.clip.samples.empty());

    std::ofstream(dir / "data" / "ding.wav") << "not a sound";
    found = sound::FindClip("ding.wav", folders);
    EXPECT_EQ(found.subject, folders[1] + "/ding.wav");
    EXPECT_EQ(found.error, "not a RIFF WAVE file");

    CopyDing(dir / "cwd" / "ding.wav");
    EXPECT_EQ(sound::FindClip("ding.wav", folders).subject, folders[0] + "/ding.wav");

    // A name with a folder in it is read as it stands, nowhere else.
    found = sound::FindClip("sub/ding.wav", folders);
    EXPECT_EQ(found.subject, "sub/ding.wav");
    EXPECT_EQ(found.error, "cannot open (No such file or directory)");
}

// The current folder first, as the program always did, then the data folder,
// then the program's own folder; "." reads the bare name.
TEST(ClipFile, LooksInTheCurrentFolderThenTheDataFolderThenBesideTheProgram)
{
    const std::vector<std::string> folders = sound::ClipFolders();
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(folders[0], ".");
    EXPECT_EQ(folders[1], EKGDEMO_DATA_DIR);
    EXPECT_EQ(fs::path(folders[2]), fs::canonical("/proc/self/exe").parent_path());

    const TempFolder dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.str());
    const sound::FoundClip found = sound::FindClip("ding.wav", folders);
    fs::current_path(before);
    EXPECT_EQ(found.error, "not found in the current folder, " + folders[1] + " or " + folders[2]);
}

// The clip the build makes: a short, clean ding that starts and ends without a click.
TEST(GeneratedDing, IsAShortSoftCleanDing)
{
    const wav::ReadResult read = wav::ReadWavFile(DING_WAV);
    ASSERT_TRUE(read.ok()) << read.error;
    const wav::Clip& clip = read.clip;
    ASSERT_EQ(clip.channels, 1);
    const std::vector<std::int16_t>& s = clip.samples;
    const double seconds = static_cast<double>(s.size()) / clip.sampleRate;
    EXPECT_GE(seconds, 0.15);
    EXPECT_LE(seconds, 0.25);

    const auto peakOf = [&](std::size_t from, std::size_t to) {
        int peak = 0;
        for (std::size_t n = from; n < to; ++n)
            peak = std::max(peak, std::abs(int{s[n]}));
        return peak;
    };
    const std::size_t ms = static_cast<std::size_t>(clip.sampleRate) / 1000;
    const int peak = peakOf(0, s.size());
    EXPECT_GT(peak, 32767 / 4) << "too quiet";
    EXPECT_LT(peak, 32767 * 9 / 10) << "too close to clipping";
    EXPECT_LT(peakOf(0, ms), peak / 4) << "the attack is not soft";
    EXPECT_LT(peakOf(s.size() - 10 * ms, s.size()), peak / 10) << "it does not die away";
    EXPECT_LE(std::abs(int{s.front()}), 1);
    EXPECT_LE(std::abs(int{s.back()}), 1);
}
