// Writes the beat sound, a short bell-like ding, as a 16-bit PCM mono WAV file.
//
// The ding is a few inharmonic partials, each decaying on its own (the higher
// the faster, as a struck bar does), under a soft raised-cosine attack and a
// raised-cosine release that brings the last sample to zero, so that it starts
// and ends without a click. The same file comes out on every build.
//
// Usage: dinggen <output.wav>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr int kSampleRate = 44100;
constexpr int kLastFrame = kSampleRate / 5;  // at 0.2 s
constexpr double kSeconds = static_cast<double>(kLastFrame) / kSampleRate;
constexpr double kAttackSeconds = 0.005;
constexpr double kReleaseSeconds = 0.03;
constexpr double kPeak = 0.5 * 32767;  // about -6 dB below full scale

struct Partial {
    double hertz;
    double level;
    double decayPerSecond;
};

// A fundamental of 880 Hz with the overtone ratios of a free bar (2.76, 5.40).
constexpr Partial kPartials[] = {
    {880.0, 1.0, 12.0},
    {880.0 * 2.76, 0.35, 28.0},
    {880.0 * 5.40, 0.12, 50.0},
};

// Rises from 0 to 1 over a half cosine as x goes from 0 to 1.
double RaisedCosine(double x)
{
    return x < 1.0 ? 0.5 - 0.5 * std::cos(std::numbers::pi * x) : 1.0;
}

double Envelope(double t)
{
    return RaisedCosine(t / kAttackSeconds) * RaisedCosine((kSeconds - t) / kReleaseSeconds);
}

std::vector<double> Synthesize()
{
    std::vector<double> ding(kLastFrame + 1);
    for (int n = 0; n <= kLastFrame; ++n) {
        const double t = static_cast<double>(n) / kSampleRate;
        double value = 0.0;
        for (const Partial& partial : kPartials)
            value += partial.level * std::exp(-partial.decayPerSecond * t) *
                     std::sin(2.0 * std::numbers::pi * partial.hertz * t);
        ding[n] = value * Envelope(t);
    }
    return ding;
}

std::vector<std::int16_t> Quantize(const std::vector<double>& ding)
{
    double peak = 0.0;
    for (double value : ding)
        peak = std::max(peak, std::abs(value));
    std::vector<std::int16_t> samples;
    samples.reserve(ding.size());
    for (double value : ding)
        samples.push_back(static_cast<std::int16_t>(std::lround(value / peak * kPeak)));
    return samples;
}

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    PutU16(out, value & 0xFFFF);
    PutU16(out, value >> 16);
}

void PutTag(std::vector<std::uint8_t>& out, const char (&tag)[5])
{
    out.insert(out.end(), tag, tag + 4);
}

std::vector<std::uint8_t> EncodeWav(const std::vector<std::int16_t>& samples)
{
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out;
    PutTag(out, "RIFF");
    PutU32(out, 36 + dataBytes);
    PutTag(out, "WAVE");
    PutTag(out, "fmt ");
    PutU32(out, 16);
    PutU16(out, 1);  // PCM
    PutU16(out, 1);  // mono
    PutU32(out, kSampleRate);
    PutU32(out, kSampleRate * 2);  // bytes per second
    PutU16(out, 2);                // bytes per frame
    PutU16(out, 16);               // bits per sample
    PutTag(out, "data");
    PutU32(out, dataBytes);
    for (std::int16_t sample : samples)
        PutU16(out, static_cast<std::uint16_t>(sample));
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dinggen <output.wav>\n");
        return 2;
    }
    const std::vector<std::uint8_t> wav = EncodeWav(Quantize(Synthesize()));
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(wav.data(), 1, wav.size(), file) == wav.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
