// SPDX-License-Identifier: Apache-2.0
// kxplay prepare, one file: its decoded samples faded, looped and brought to 16 bits (a gain from
// the options or from the peak, TPDF dither, clipping counted), written as a canonical 44-byte WAV
// that replaces the old output only once complete, and its report line. Built only with
// libsndfile and libsoxr. Runs on the caller's thread; no shared state.
#include "tools/kxplay/prepare_convert.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/devices/wav_format.h"
#include "tools/kxplay/prepare_signal.h"

#if KX_HAVE_PREPARE

namespace kx::prepare {
namespace {

double toDb(double ratio) {
    return ratio > 0 ? 20.0 * std::log10(ratio) : -INFINITY;
}

bool writeAllBytes(FILE* file, const void* bytes, size_t length) {
    return std::fwrite(bytes, 1, length, file) == length;
}

// Writes the samples through a temporary file in the same directory, renamed into place once
// complete: a failed write leaves no half file behind and the old output, if any, untouched.
bool writeWav(const std::string& target, const std::vector<int16_t>& samples, std::string* reason) {
    std::string pattern = target + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        *reason =
            std::string("cannot write in the output directory (") + std::strerror(errno) + ")";
        return false;
    }
    FILE* file = fdopen(fd, "wb");
    uint8_t header[kWavHeaderBytes];
    wavHeader(header, samples.size() * 2);
    // WAV samples are little-endian, as this host's are.
    static_assert(std::endian::native == std::endian::little);
    bool ok = file != nullptr && writeAllBytes(file, header, sizeof header) &&
              writeAllBytes(file, samples.data(), samples.size() * 2);
    int savedErrno = errno;
    ok = (file != nullptr ? std::fclose(file) == 0 : (::close(fd), false)) && ok;
    if (ok && std::rename(name.data(), target.c_str()) != 0) {
        savedErrno = errno;
        ok = false;
    }
    if (!ok) {
        std::remove(name.data());
        *reason = std::string("cannot be written (") + std::strerror(savedErrno) + ")";
    }
    return ok;
}

}  // namespace

// Converts one file and writes it. Returns "" and prints the report, or the refusal's reason.
std::string prepareOne(const PrepareOptions& o, const std::string& path,
                       const std::string& target) {
    Source s;
    std::string reason;
    if (!decode(path, &s, &reason))
        return reason;

    std::vector<std::string> did;
    if (static_cast<uint32_t>(s.rate) != kStreamRate)
        did.push_back("resampled " + std::to_string(s.rate) + " to 44100 Hz");
    if (s.channels == 1)
        did.push_back("mono to both channels");
    else if (s.channels > 2)
        did.push_back(std::to_string(s.channels) + " channels downmixed");
    constexpr double kMsFrames = kStreamRate / 1000.0;
    if (o.fadeInMs > 0) {
        fade(&s, static_cast<uint64_t>(std::llround(o.fadeInMs * kMsFrames)), true);
        did.push_back("fade-in " + std::to_string(std::llround(o.fadeInMs)) + " ms");
    }
    if (o.fadeOutMs > 0) {
        fade(&s, static_cast<uint64_t>(std::llround(o.fadeOutMs * kMsFrames)), false);
        did.push_back("fade-out " + std::to_string(std::llround(o.fadeOutMs)) + " ms");
    }
    uint64_t crossfade = 0;
    if (o.loop && !makeLoop(&s, o.loopFrames, &crossfade, &reason))
        return reason;
    if (s.frames * 4 > 0xFFFFFFFFull - 36)
        return "too long for a WAV file once converted (" + std::to_string(s.frames) + " frames)";

    double peak = 0;
    for (float v : s.stereo)
        peak = std::max(peak, static_cast<double>(std::fabs(v)));
    // The largest sample a copy may hold: N copies summed stay within 16 bits. Dither adds up to
    // one step (rounding half of one), so the gain keeps that much below the limit.
    double limit = o.headroom > 0 ? std::floor(32767.0 / o.headroom) : 32767.0;
    double margin = o.dither ? 1.0 : 0.5;
    double gain = 1.0;
    std::string gainWhy;
    if (o.hasGain) {
        gain = std::pow(10.0, o.gainDb / 20.0);
    } else if (peak > 0 && peak * 32768.0 + margin > limit) {
        gain = (limit - margin) / (peak * 32768.0);
        gainWhy = o.headroom > 0 ? " (headroom for " + std::to_string(o.headroom) + ")"
                                 : " (to keep the peak below full scale)";
    }

    std::vector<int16_t> samples(s.stereo.size());
    Noise noise;
    double lowest = o.headroom > 0 ? -limit : -32768.0;
    uint64_t clipped = 0;
    int32_t outPeak = 0;
    for (size_t i = 0; i < s.stereo.size(); ++i) {
        double v = s.stereo[i] * gain * 32768.0;
        if (o.dither)
            v += noise.uniform() + noise.uniform() - 1.0;  // TPDF, +-1 step
        double r = std::nearbyint(v);
        if (r > limit || r < lowest) {
            ++clipped;
            r = r > 0 ? limit : lowest;
        }
        samples[i] = static_cast<int16_t>(r);
        outPeak = std::max(outPeak, std::abs(static_cast<int32_t>(r)));
    }

    if (!writeWav(target, samples, &reason))
        return reason;
    if (!o.quiet) {
        std::string conversion;
        for (const std::string& d : did)
            conversion += (conversion.empty() ? "" : ", ") + d;
        if (conversion.empty())
            conversion = "already 44100 Hz stereo";
        conversion += o.dither ? ", dithered to 16-bit" : ", rounded to 16-bit";
        std::string loopWords = "no loop";
        if (o.loop)
            loopWords = "loop " + std::to_string(s.frames) + " frames (" +
                        std::to_string(s.frames / o.loopFrames) + " x " +
                        std::to_string(o.loopFrames) + ", seam crossfaded over " +
                        std::to_string(crossfade) + ")";
        std::printf("%s -> %s: %s; %s; gain %+.2f dB%s; %s; peak %.2f dBFS%s, %.3f s\n",
                    path.c_str(), target.c_str(), s.words.c_str(), conversion.c_str(), toDb(gain),
                    gainWhy.c_str(), loopWords.c_str(), toDb(outPeak / 32768.0),
                    clipped ? (", " + std::to_string(clipped) + " samples clipped").c_str() : "",
                    static_cast<double>(s.frames) / kStreamRate);
    }
    return "";
}

}  // namespace kx::prepare

#endif
