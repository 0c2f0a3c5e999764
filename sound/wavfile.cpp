#include "sound/wavfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wav {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::size_t kPcmFormatBytes = 16;

std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(ReadU16(bytes, at)) |
           static_cast<std::uint32_t>(ReadU16(bytes, at + 2)) << 16;
}

bool HasTag(std::span<const std::uint8_t> bytes, std::size_t at, const char (&tag)[5])
{
    return std::equal(tag, tag + 4, bytes.begin() + at);
}

ReadResult Rejected(std::string reason)
{
    return ReadResult{Clip{}, std::move(reason)};
}

// Takes the error number before anything else can change errno.
ReadResult SystemError(const char* what, int error)
{
    ReadResult result = Rejected(std::string(what) + " (" + std::strerror(error) + ")");
    result.notFound = error == ENOENT || error == ENOTDIR;
    return result;
}

std::string TooLarge(std::uintmax_t bytes)
{
    return "file too large (" + std::to_string(bytes) + " bytes; at most " + std::to_string(kMaxFileBytes) + ")";
}

// Closes the file however the reading ends, once: it cannot be copied.
struct OpenFile {
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile() { ::close(fd); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    const int fd;
};

struct Format {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
};

// Returns why the format cannot be played, or an empty string.
std::string CheckFormat(const Format& format)
{
    if (format.tag != kFormatPcm)
        return "not a PCM WAV file (format tag " + std::to_string(format.tag) + ")";
    if (format.bitsPerSample != 8 && format.bitsPerSample != 16)
        return "unsupported sample size (" + std::to_string(format.bitsPerSample) +
               " bits; 8 or 16 are played)";
    if (format.channels != 1 && format.channels != 2)
        return "unsupported channel count (" + std::to_string(format.channels) +
               "; 1 or 2 are played)";
    if (format.sampleRate < kMinSampleRate || format.sampleRate > kMaxSampleRate)
        return "unsupported sample rate (" + std::to_string(format.sampleRate) + " Hz; " +
               std::to_string(kMinSampleRate) + " to " + std::to_string(kMaxSampleRate) +
               " Hz are played)";
    const unsigned frameBytes = format.channels * format.bitsPerSample / 8u;
    if (format.blockAlign != frameBytes || format.byteRate != format.sampleRate * frameBytes)
        return "format header contradicts itself (block align or byte rate)";
    return {};
}

Clip DecodeSamples(const Format& format, std::span<const std::uint8_t> data)
{
    Clip clip;
    clip.channels = format.channels;
    clip.sampleRate = static_cast<int>(format.sampleRate);
    if (format.bitsPerSample == 8) {
        clip.samples.reserve(data.size());
        for (std::uint8_t byte : data)
            clip.samples.push_back(static_cast<std::int16_t>((byte - 128) * 256));
    } else {
        clip.samples.reserve(data.size() / 2);
        for (std::size_t at = 0; at < data.size(); at += 2)
            clip.samples.push_back(static_cast<std::int16_t>(ReadU16(data, at)));
    }
    return clip;
}

}  // namespace

ReadResult ParseWav(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return Rejected("file is empty");
    if (bytes.size() > kMaxFileBytes)
        return Rejected(TooLarge(bytes.size()));
    if (bytes.size() < 12 || !HasTag(bytes, 0, "RIFF") || !HasTag(bytes, 8, "WAVE"))
        return Rejected("not a RIFF WAVE file");

    // Bytes after the RIFF chunk are ignored; a RIFF chunk longer than the file is not.
    const std::size_t riffEnd = kChunkHeaderBytes + std::size_t{ReadU32(bytes, 4)};
    if (riffEnd < 12)
        return Rejected("RIFF header announces no content");
    if (riffEnd > bytes.size())
        return Rejected("truncated (header announces " + std::to_string(riffEnd) +
                        " bytes, file has " + std::to_string(bytes.size()) + ")");

    Format format;
    bool haveFormat = false;
    std::size_t at = 12;
    while (riffEnd - at >= kChunkHeaderBytes) {
        const std::size_t size = ReadU32(bytes, at + 4);
        const std::size_t body = at + kChunkHeaderBytes;
        if (size > riffEnd - body)
            return Rejected("a chunk runs past the end of the file");

        if (HasTag(bytes, at, "fmt ")) {
            if (size < kPcmFormatBytes)
                return Rejected("format chunk too short");
            format = Format{ReadU16(bytes, body),      ReadU16(bytes, body + 2),
                            ReadU32(bytes, body + 4),  ReadU32(bytes, body + 8),
                            ReadU16(bytes, body + 12), ReadU16(bytes, body + 14)};
            if (std::string why = CheckFormat(format); !why.empty())
                return Rejected(std::move(why));
            haveFormat = true;
        } else if (HasTag(bytes, at, "data")) {
            if (!haveFormat)
                return Rejected("no format chunk before the data");
            if (size == 0)
                return Rejected("no samples");
            if (size % format.blockAlign != 0)
                return Rejected("data size is not a whole number of frames");
            return ReadResult{DecodeSamples(format, bytes.subspan(body, size)), {}};
        }
        // Chunks are padded to an even size; the pad byte may be missing after the last one.
        at = body + std::min(size + size % 2, riffEnd - body);
    }
    return Rejected(haveFormat ? "no data chunk" : "no format chunk");
}

ReadResult ReadWavFile(const std::string& path)
{
    // Opened once, without waiting for a writer, so that a FIFO in the clip's
    // place cannot hold up start-up; what is checked is what is then read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return SystemError("cannot open", errno);
    const OpenFile file{fd};

    struct stat status {};
    if (::fstat(file.fd, &status) < 0)
        return SystemError("cannot examine", errno);
    if (!S_ISREG(status.st_mode))
        return Rejected("not a regular file");
    // The size is checked before anything is read, so a huge file costs nothing.
    if (static_cast<std::uintmax_t>(status.st_size) > kMaxFileBytes)
        return Rejected(TooLarge(static_cast<std::uintmax_t>(status.st_size)));

    // Read to the end rather than to the size seen, stopping past the limit:
    // a file that changes meanwhile is judged by what was read.
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(status.st_size));
    std::uint8_t chunk[64 * 1024];
    while (bytes.size() <= kMaxFileBytes) {
        const ssize_t got = ::read(file.fd, chunk, sizeof chunk);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return SystemError("cannot read", errno);
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return ParseWav(bytes);
}

}  // namespace wav
