// SPDX-License-Identifier: Apache-2.0
// kxplay prepare's signal path: decoding with libsndfile, the fixed downmix to stereo, libsoxr's
// very-high-quality resampling to 44100 Hz, fades at the file's own start and end, and the loop of
// whole periods crossfaded at its seam. Built only with both libraries. Owns one file's samples
// at a time; runs on the caller's thread, no shared state.
#include "tools/kxplay/prepare_signal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#if KX_HAVE_PREPARE
#include <sndfile.h>
#include <soxr.h>

namespace kx::prepare {
namespace {

std::string formatWords(int format) {
    std::string words;
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) == 0 && info.name)
        words = info.name;
    SF_FORMAT_INFO sub{};
    sub.format = format & SF_FORMAT_SUBMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub, sizeof sub) == 0 && sub.name)
        words += std::string(words.empty() ? "" : ", ") + sub.name;
    return words;
}

// The downmix of channel `c` of `channels` into left and right. Channels follow the WAV and FLAC
// order (front left, front right, centre, LFE, back left, back right, side left, side right):
// left and right pass at 1, the centre goes to both at -3 dB, the LFE is dropped, each surround
// goes to its side at -3 dB, and any further channel alternates between the sides at -3 dB.
// The sum can exceed full scale; the gain stage brings it back.
void downmixWeights(int c, float* left, float* right) {
    constexpr float kHalfPower = 0.70710678f;
    *left = *right = 0;
    if (c == 0)
        *left = 1;
    else if (c == 1)
        *right = 1;
    else if (c == 2)
        *left = *right = kHalfPower;
    else if (c == 3)
        return;
    else if (c % 2 == 0)
        *left = kHalfPower;
    else
        *right = kHalfPower;
}

// Appends stereo frames to a Source at 44100 Hz: as they are when the input is at that rate,
// else through libsoxr's very-high-quality resampler (single-threaded, streaming, so the input
// is never held whole).
class Resampler {
  public:
    Resampler(int rate, std::vector<float>* out) : out_(out) {
        if (static_cast<uint32_t>(rate) == kStreamRate)
            return;
        ratio_ = static_cast<double>(kStreamRate) / rate;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        soxr_ = soxr_create(rate, kStreamRate, 2, &error_, &io, &quality, &runtime);
    }
    ~Resampler() {
        if (soxr_ != nullptr)
            soxr_delete(soxr_);
    }
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // Takes `frames` frames (null and 0 to flush what the filter still holds); false on error.
    bool push(const float* in, size_t frames) {
        if (error_ != nullptr)
            return false;
        if (ratio_ == 0) {
            out_->insert(out_->end(), in, in + 2 * frames);
            return true;
        }
        for (;;) {
            size_t room = static_cast<size_t>(frames * ratio_) + 1024;
            size_t at = out_->size();
            out_->resize(at + 2 * room);
            size_t used = 0, made = 0;
            error_ = soxr_process(soxr_, in, frames, &used, out_->data() + at, room, &made);
            out_->resize(at + 2 * made);
            if (error_ != nullptr)
                return false;
            if (in == nullptr ? made == 0 : used == frames)
                return true;
            if (in != nullptr) {
                in += 2 * used;
                frames -= used;
            }
        }
    }
    const char* error() const { return error_ != nullptr ? error_ : ""; }

  private:
    std::vector<float>* out_;
    double ratio_ = 0;  // 0 when nothing is resampled
    soxr_t soxr_ = nullptr;
    soxr_error_t error_ = nullptr;
};

}  // namespace

// Decodes the whole file to stereo floats at 44100 Hz. A size field of 0 or 0xFFFFFFFF (a piped
// WAV) is libsndfile's to see through: it reads to the end of the file, so the loop reads until
// it ends.
bool decode(const std::string& path, Source* out, std::string* reason) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *reason = errno == ENOENT ? "no such file" : std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = "a directory, not a file";
        return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        *reason = "an empty file";
        return false;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        *reason = std::string("not a sound file libsndfile reads (") + sf_strerror(nullptr) + ")";
        return false;
    }
    out->channels = info.channels;
    out->rate = info.samplerate;
    out->words = formatWords(info.format) + ", " + std::to_string(info.channels) + " channel" +
                 (info.channels == 1 ? "" : "s") + ", " + std::to_string(info.samplerate) + " Hz";
    // The length libsndfile reports is a guess for a piped file; reserve only a sane one.
    constexpr sf_count_t kReserveLimit = sf_count_t(1) << 28;
    if (info.frames > 0 && info.frames < kReserveLimit && info.samplerate > 0)
        out->stereo.reserve(static_cast<size_t>(
            2 * (static_cast<double>(info.frames) * kStreamRate / info.samplerate + 1024)));
    std::vector<float> weights(static_cast<size_t>(info.channels) * 2);
    for (int c = 0; c < info.channels; ++c)
        downmixWeights(c, &weights[2 * c], &weights[2 * c + 1]);
    constexpr sf_count_t kBlock = 8192;
    std::vector<float> block(static_cast<size_t>(kBlock * info.channels));
    std::vector<float> stereo(static_cast<size_t>(kBlock * 2));
    Resampler resampler(info.samplerate, &out->stereo);
    bool converted = true;
    for (;;) {
        sf_count_t got = sf_readf_float(file, block.data(), kBlock);
        if (got <= 0)
            break;
        for (sf_count_t f = 0; f < got; ++f) {
            const float* in = &block[static_cast<size_t>(f * info.channels)];
            float left = 0, right = 0;
            if (info.channels == 1) {
                left = right = in[0];
            } else {
                for (int c = 0; c < info.channels; ++c) {
                    left += weights[2 * c] * in[c];
                    right += weights[2 * c + 1] * in[c];
                }
            }
            stereo[2 * f] = left;
            stereo[2 * f + 1] = right;
        }
        if (!(converted = resampler.push(stereo.data(), static_cast<size_t>(got))))
            break;
    }
    converted = converted && resampler.push(nullptr, 0);
    int failure = sf_error(file);
    std::string failureWords = sf_strerror(file);
    sf_close(file);
    out->frames = out->stereo.size() / 2;
    if (!converted) {
        *reason = std::string("the resampler failed (") + resampler.error() + ")";
        return false;
    }
    if (failure != SF_ERR_NO_ERROR && out->frames == 0) {
        *reason = "its samples cannot be decoded (" + failureWords + ")";
        return false;
    }
    if (out->frames == 0) {
        *reason = "no samples";
        return false;
    }
    return true;
}

// A raised-cosine ramp over `frames` frames from the start (rising) or to the end (falling).
void fade(Source* s, uint64_t frames, bool atStart) {
    frames = std::min(frames, s->frames);
    for (uint64_t i = 0; i < frames; ++i) {
        double w = 0.5 - 0.5 * std::cos(M_PI * (static_cast<double>(i) + 0.5) / frames);
        uint64_t at = atStart ? i : s->frames - 1 - i;
        s->stereo[2 * at] *= static_cast<float>(w);
        s->stereo[2 * at + 1] *= static_cast<float>(w);
    }
}

// Makes the sound a whole number of `period`-frame periods, with no click where its end meets its
// start: the length L is the largest multiple of the period that leaves X frames behind it (X up
// to 2048, about 46 ms), and those X frames are crossfaded (linearly) into the first X, so the
// frame after the last is the one that followed it in the source. What lies beyond L + X (less
// than a period) is dropped.
bool makeLoop(Source* s, uint32_t period, uint64_t* crossfade, std::string* reason) {
    constexpr uint64_t kCrossfade = 2048;
    constexpr uint64_t kMinCrossfade = 32;
    if (s->frames < period + kMinCrossfade) {
        *reason = "a length that cannot loop: " + std::to_string(s->frames) +
                  " frames at 44100 Hz; a loop of " + std::to_string(period) +
                  "-frame periods needs at least " + std::to_string(period + kMinCrossfade);
        return false;
    }
    uint64_t x = std::min<uint64_t>(kCrossfade, s->frames - period);
    uint64_t length = (s->frames - x) / period * period;
    x = std::min(x, length);
    for (uint64_t i = 0; i < x; ++i) {
        float w = static_cast<float>((static_cast<double>(i) + 0.5) / static_cast<double>(x));
        for (int c = 0; c < 2; ++c)
            s->stereo[2 * i + c] =
                s->stereo[2 * i + c] * w + s->stereo[2 * (length + i) + c] * (1 - w);
    }
    s->stereo.resize(length * 2);
    s->frames = length;
    *crossfade = x;
    return true;
}

}  // namespace kx::prepare

#endif
