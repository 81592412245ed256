// SPDX-License-Identifier: Apache-2.0
// kxplay prepare: decodes any file libsndfile reads, converts it to 16-bit stereo 44100 Hz PCM
// (libsoxr's very-high-quality resampler, a fixed downmix, TPDF dither from a fixed seed), shapes
// it for the module (a loop of whole periods crossfaded at its seam, fades at the file's own
// start and end, a gain that leaves room for N copies in the saturating mix) and writes a
// canonical 44-byte WAV. Owns one file's samples at a time; runs on the caller's thread.
#include "tools/kxplay/prepare.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/devices/wav_format.h"
#include "tools/kxplay/options.h"

#if KX_HAVE_PREPARE
#include <sndfile.h>
#include <soxr.h>
#endif

namespace kx {
namespace {

constexpr int kUsageError = 2;
constexpr uint32_t kMinPeriod = 2;
constexpr uint32_t kMaxPeriod = 65536;
constexpr uint32_t kMaxHeadroom = 64;
constexpr double kMaxFadeMs = 600000;

const char kPrepareUsage[] =
    "Usage: kxplay prepare [options] FILE... -o DIR\n"
    "Writes DIR/NAME.wav for each FILE (any format libsndfile reads): 16-bit stereo 44100 Hz\n"
    "PCM that kxaudio plays, resampled by libsoxr, TPDF-dithered.\n"
    "  -o, --output DIR    the directory to write to (made when missing)\n"
    "      --loop[=FRAMES] a loop: a whole number of FRAMES-frame periods (default 1024),\n"
    "                      its end crossfaded into its start so the seam never clicks\n"
    "      --fade-in MS    a ramp at the file's start\n"
    "      --fade-out MS   a ramp at the file's end (a stop in the middle still cuts)\n"
    "      --headroom N    a gain from the file's peak so that N copies mixed never clip\n"
    "      --gain DB       this gain instead\n"
    "      --no-dither     round to 16 bits instead of dithering\n"
    "  -q, --quiet         print refusals only\n"
    "Exit status: 0 every file written, 1 a file failed (the others are written), 2 usage.\n";

bool parseNumber(const std::string& text, double low, double high, double* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool parseWhole(const std::string& text, uint32_t low, uint32_t high, uint32_t* out) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
        return false;
    unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
    if (value < low || value > high)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

int parsePrepareOptions(const std::vector<std::string>& args, PrepareOptions* options,
                        std::string* error) {
    PrepareOptions result;
    bool ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (ended || arg.size() < 2 || arg[0] != '-') {
            result.files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            ended = true;
            continue;
        }
        KxplayOptionWord word = splitKxplayOption(arg);
        std::string name = word.name;
        std::string value = word.value;
        bool inlineValue = word.inlineValue;
        bool takesValue = name == "--output" || name == "--fade-in" || name == "--fade-out" ||
                          name == "--headroom" || name == "--gain";
        if (takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                *error = "option " + name + " needs a value";
                return kUsageError;
            }
            value = args[++i];
        } else if (!takesValue && inlineValue && name != "--loop") {
            *error = "option " + name + " takes no value";
            if (name != "--quiet" && name != "--help" && name != "--no-dither")
                *error = "unknown option '" + arg + "'";
            return kUsageError;
        }
        if (name == "--output") {
            if (value.empty()) {
                *error = "option --output needs a directory";
                return kUsageError;
            }
            result.outDir = value;
        } else if (name == "--loop") {
            result.loop = true;
            if (inlineValue && !parseWhole(value, kMinPeriod, kMaxPeriod, &result.loopFrames)) {
                *error = "option --loop=FRAMES needs a whole number from 2 to 65536, not '" +
                         value + "'";
                return kUsageError;
            }
        } else if (name == "--fade-in" || name == "--fade-out") {
            double* target = name == "--fade-in" ? &result.fadeInMs : &result.fadeOutMs;
            if (!parseNumber(value, 0, kMaxFadeMs, target)) {
                *error =
                    "option " + name + " needs milliseconds from 0 to 600000, not '" + value + "'";
                return kUsageError;
            }
        } else if (name == "--headroom") {
            if (!parseWhole(value, 1, kMaxHeadroom, &result.headroom)) {
                *error =
                    "option --headroom needs a number of copies from 1 to 64, not '" + value + "'";
                return kUsageError;
            }
        } else if (name == "--gain") {
            if (!parseNumber(value, -96, 48, &result.gainDb)) {
                *error = "option --gain needs decibels from -96 to 48, not '" + value + "'";
                return kUsageError;
            }
            result.hasGain = true;
        } else if (name == "--no-dither") {
            result.dither = false;
        } else if (name == "--quiet") {
            result.quiet = true;
        } else if (name == "--help") {
            result.help = true;
        } else {
            *error = "unknown option '" + arg + "'";
            return kUsageError;
        }
    }
    if (result.help) {
        *options = std::move(result);
        return 0;
    }
    if (result.files.empty()) {
        *error = "prepare needs at least one FILE";
        return kUsageError;
    }
    if (result.outDir.empty()) {
        *error = "prepare needs -o DIR, the directory to write to";
        return kUsageError;
    }
    if (result.hasGain && result.headroom != 0) {
        *error = "choose one of --gain and --headroom";
        return kUsageError;
    }
    if (result.loop && (result.fadeInMs > 0 || result.fadeOutMs > 0)) {
        *error = "a loop has no start or end to fade: --loop takes no --fade-in or --fade-out";
        return kUsageError;
    }
    *options = std::move(result);
    return 0;
}

std::string prepareCommand(const std::string& quotedPath) {
    return "kxplay prepare " + quotedPath + " -o prepared";
}

#if !KX_HAVE_PREPARE

bool prepareBuilt() {
    return false;
}

int runPrepare(const std::vector<std::string>& args) {
    PrepareOptions options;
    std::string error;
    if (parsePrepareOptions(args, &options, &error) != 0) {
        std::fprintf(stderr, "kxplay: prepare: %s\n", error.c_str());
        return kUsageError;
    }
    if (options.help) {
        std::fputs(kPrepareUsage, stdout);
        return 0;
    }
    std::fprintf(stderr,
                 "kxplay: prepare is not in this build: it needs libsndfile and libsoxr, which "
                 "were not found when it was configured; install libsndfile1-dev and "
                 "libsoxr-dev (Debian packages) and configure again\n");
    return 1;
}

#else

namespace {

// One input, as decoded and described.
struct Source {
    std::vector<float> stereo;  // interleaved left, right; full scale is 1.0
    uint64_t frames = 0;
    int channels = 0;
    int rate = 0;
    std::string words;  // "FLAC, signed 24-bit PCM, 6 channels, 48000 Hz"
};

// splitmix64: the dither's noise, the same from the same seed on every machine.
struct Noise {
    uint64_t state = 0x6b78706c61790001ull;
    double uniform() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
    }
};

double toDb(double ratio) {
    return ratio > 0 ? 20.0 * std::log10(ratio) : -INFINITY;
}

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

// The file's path as one identity (device and inode); false when it does not exist.
bool identity(const std::string& path, dev_t* device, ino_t* inode) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    *device = st.st_dev;
    *inode = st.st_ino;
    return true;
}

std::string stemOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
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

}  // namespace

bool prepareBuilt() {
    return true;
}

int runPrepare(const std::vector<std::string>& args) {
    PrepareOptions o;
    std::string error;
    if (parsePrepareOptions(args, &o, &error) != 0) {
        std::fprintf(stderr, "kxplay: prepare: %s\nTry 'kxplay prepare --help'.\n", error.c_str());
        return kUsageError;
    }
    if (o.help) {
        std::fputs(kPrepareUsage, stdout);
        return 0;
    }
    struct stat st;
    if (stat(o.outDir.c_str(), &st) != 0 && mkdir(o.outDir.c_str(), 0777) != 0) {
        std::fprintf(stderr, "kxplay: prepare: -o %s: cannot be made (%s)\n", o.outDir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    if (stat(o.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "kxplay: prepare: -o %s: not a directory\n", o.outDir.c_str());
        return kUsageError;
    }

    // Every input's identity, so that no output replaces an input under any name.
    std::vector<std::pair<dev_t, ino_t> > inputs;
    for (const std::string& path : o.files) {
        dev_t device;
        ino_t inode;
        if (identity(path, &device, &inode))
            inputs.emplace_back(device, inode);
    }
    std::map<std::string, std::string> claimed;  // output name -> the input that has it
    int status = 0;
    for (const std::string& path : o.files) {
        std::string target = o.outDir + "/" + stemOf(path) + ".wav";
        std::string reason;
        dev_t device;
        ino_t inode;
        auto taken = claimed.find(target);
        if (taken != claimed.end()) {
            reason = "its output " + target + " is already that of " + taken->second +
                     "; prepare it on its own into another directory";
        } else if (identity(target, &device, &inode)) {
            for (const auto& [d, i] : inputs)
                if (d == device && i == inode)
                    reason = "its output " + target +
                             " is an input; give -o a directory other than the inputs'";
        }
        if (reason.empty()) {
            claimed.emplace(target, path);
            reason = prepareOne(o, path, target);
        }
        if (!reason.empty()) {
            std::fprintf(stderr, "kxplay: prepare: %s: refused: %s\n", path.c_str(),
                         reason.c_str());
            status = 1;
        }
    }
    return status;
}

#endif

}  // namespace kx
