// SPDX-License-Identifier: Apache-2.0
// The demo's sounds and scene. The sounds are synthesised here (no sample file ships with
// kxplay) so that a fresh clone can play the demo; levels are chosen so that the loop and three
// tones together stay below full scale. No shared state, no lock.
#include "tools/kxplay/demo.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>

#include "platform/devices/wav_format.h"

namespace kx {
namespace {

constexpr double kRate = kStreamRate;
constexpr double kFull = 32767.0;

struct Stereo {
    std::vector<double> left, right;
    explicit Stereo(double seconds)
        : left(static_cast<size_t>(seconds * kRate)), right(left.size()) {}
    size_t frames() const { return left.size(); }
};

// Equal-power pan: -1 left, 0 centre, 1 right.
void panGains(double pan, double* left, double* right) {
    double angle = (pan + 1.0) * std::numbers::pi / 4.0;
    *left = std::cos(angle);
    *right = std::sin(angle);
}

// A soft organ tone with short fades at both ends, so that it starts and ends without a click.
Stereo tone(double hertz, double seconds, double level, double pan) {
    Stereo out(seconds);
    double gl, gr;
    panGains(pan, &gl, &gr);
    const double fade = 0.03 * kRate;
    for (size_t i = 0; i < out.frames(); ++i) {
        double t = static_cast<double>(i) / kRate;
        double w = 2.0 * std::numbers::pi * hertz * t;
        double v = 0.75 * std::sin(w) + 0.2 * std::sin(2.0 * w) + 0.05 * std::sin(3.0 * w);
        double edge = std::min(static_cast<double>(i), static_cast<double>(out.frames() - 1 - i));
        double envelope = edge < fade ? edge / fade : 1.0;
        // A slow tremolo makes the three tones of the chord easy to tell apart.
        envelope *= 0.85 + 0.15 * std::sin(2.0 * std::numbers::pi * (1.5 + hertz / 400.0) * t);
        out.left[i] = level * v * envelope * gl;
        out.right[i] = level * v * envelope * gr;
    }
    return out;
}

// One bar at 120 beats a minute (2 s): a kick on every beat, a snare on two and four, a closed
// hat on every eighth. Built to loop: every hit has died away before the bar ends.
Stereo beat() {
    Stereo out(2.0);
    uint32_t noise = 0x2545F491;
    auto next = [&noise]() {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return static_cast<double>(static_cast<int32_t>(noise)) / 2147483648.0;
    };
    for (int eighth = 0; eighth < 8; ++eighth) {
        size_t start = static_cast<size_t>(eighth * 0.25 * kRate);
        bool onBeat = eighth % 2 == 0;
        bool snare = eighth == 2 || eighth == 6;
        double phase = 0.0;
        for (size_t i = 0; i < static_cast<size_t>(0.24 * kRate) && start + i < out.frames(); ++i) {
            double t = static_cast<double>(i) / kRate;
            double v = 0.0, pan = 0.0;
            if (onBeat) {  // kick: a sine sweeping down from 150 Hz to 50 Hz
                double hz = 50.0 + 100.0 * std::exp(-t * 30.0);
                phase += 2.0 * std::numbers::pi * hz / kRate;
                v += 0.9 * std::sin(phase) * std::exp(-t * 9.0);
            }
            if (snare)
                v += 0.45 * next() * std::exp(-t * 22.0);
            double hat = next();
            v += 0.12 * hat * std::exp(-t * 90.0);
            pan = onBeat ? 0.0 : 0.35;
            double gl, gr;
            panGains(pan, &gl, &gr);
            out.left[start + i] += 0.38 * v * gl;
            out.right[start + i] += 0.38 * v * gr;
        }
    }
    return out;
}

// A bell: inharmonic partials, each dying away at its own rate.
Stereo chime() {
    Stereo out(2.5);
    static const double kPartials[][3] = {// ratio, level, decay per second
                                          {1.0, 0.50, 1.6},
                                          {2.76, 0.25, 2.6},
                                          {5.40, 0.14, 4.0},
                                          {8.93, 0.08, 6.0},
                                          {2.0, 0.12, 2.0}};
    const double base = 880.0;
    for (size_t i = 0; i < out.frames(); ++i) {
        double t = static_cast<double>(i) / kRate;
        double v = 0.0;
        for (const auto& p : kPartials)
            v += p[1] * std::sin(2.0 * std::numbers::pi * base * p[0] * t) * std::exp(-t * p[2]);
        double attack = std::min(1.0, t / 0.002);
        double tail = std::min(1.0, (2.5 - t) / 0.05);
        v *= 0.8 * attack * tail;
        out.left[i] = v * (0.9 + 0.1 * std::sin(2.0 * std::numbers::pi * 0.7 * t));
        out.right[i] = v * (0.9 - 0.1 * std::sin(2.0 * std::numbers::pi * 0.7 * t));
    }
    return out;
}

// A low, loud hum: alone it stays below full scale, over the loop's kick and snare it does not.
Stereo boom() {
    Stereo out(1.05);
    const double fade = 0.02 * kRate;
    for (size_t i = 0; i < out.frames(); ++i) {
        double t = static_cast<double>(i) / kRate;
        double edge = std::min(static_cast<double>(i), static_cast<double>(out.frames() - 1 - i));
        double v = 0.8 * std::sin(2.0 * std::numbers::pi * 55.0 * t) * std::min(1.0, edge / fade);
        out.left[i] = v;
        out.right[i] = v;
    }
    return out;
}

std::vector<int16_t> toSamples(const Stereo& s) {
    std::vector<int16_t> out(s.frames() * 2);
    auto clamp = [](double v) {
        double scaled = std::lround(v * kFull);
        if (scaled > kFull)
            scaled = kFull;
        if (scaled < -kFull - 1.0)
            scaled = -kFull - 1.0;
        return static_cast<int16_t>(scaled);
    };
    for (size_t i = 0; i < s.frames(); ++i) {
        out[2 * i] = clamp(s.left[i]);
        out[2 * i + 1] = clamp(s.right[i]);
    }
    return out;
}

const char kScene[] =
    "# kxplay's demo: every playing rule of kxaudio in under fifteen seconds.\n"
    "sound beat  beat.wav          # a one-bar rhythm, looped below\n"
    "sound low   tone-a3.wav       # three tones of an A major chord\n"
    "sound mid   tone-cs4.wav\n"
    "sound high  tone-e4.wav\n"
    "sound chime chime.wav         # a bell\n"
    "sound boom  boom.wav          # a loud hum\n"
    "sound again beat.wav          # the same file again: SND_ERR_EXISTS, 'again' names 'beat'\n"
    "play beat loop\n"
    "at 1    play low\n"
    "at 2    play mid\n"
    "at 3    play high             # four sounds play together\n"
    "at 3.5  play chime            # a fifth is refused: SND_ERR_TOO_MANY\n"
    "at 4.5  pause all             # everything holds ...\n"
    "at 5    play chime            # paused sounds hold all four blocks: it plays, unheard\n"
    "at 5.4  stop chime\n"
    "at 5.5  play beat loop        # ... and each sound resumes where it stood\n"
    "at 5.5  play low\n"
    "at 5.5  play mid\n"
    "at 5.5  play high\n"
    "at 7    play chime exclusive  # an exclusive sound stops the others and plays alone\n"
    "at 7.5  play again            # refused while it plays: SND_ERR_EXCLUSIVE\n"
    "at 10   play beat loop        # the bell has rung out: the loop is back\n"
    "at 10.5 volume 40\n"
    "at 11   volume 100\n"
    "at 11.5 mute on\n"
    "at 12   mute off\n"
    "at 12.2 play boom             # too loud over the loop: the mix saturates (clips)\n"
    "at 12.5 volume 101            # out of range: SND_ERR_RANGE\n"
    "at 13   stop all\n"
    "at 13   delete chime\n"
    "at 13.5 end\n";

}  // namespace

const std::vector<DemoSound>& demoSounds() {
    static const std::vector<DemoSound> kSounds = {
        {"beat.wav", "a one-bar rhythm at 120 beats a minute (2 s), made to loop"},
        {"tone-a3.wav", "A3, 220 Hz, left (5.5 s)"},
        {"tone-cs4.wav", "C sharp 4, 277 Hz, centre (5 s)"},
        {"tone-e4.wav", "E4, 330 Hz, right (4 s)"},
        {"chime.wav", "a bell at 880 Hz (2.5 s)"},
        {"boom.wav", "a loud hum at 55 Hz (1 s), which clips over the loop"},
    };
    return kSounds;
}

std::vector<int16_t> demoSamples(const std::string& file) {
    if (file == "beat.wav")
        return toSamples(beat());
    if (file == "tone-a3.wav")
        return toSamples(tone(220.0, 5.5, 0.26, -0.6));
    if (file == "tone-cs4.wav")
        return toSamples(tone(277.18, 5.0, 0.24, 0.0));
    if (file == "tone-e4.wav")
        return toSamples(tone(329.63, 4.0, 0.22, 0.6));
    if (file == "chime.wav")
        return toSamples(chime());
    if (file == "boom.wav")
        return toSamples(boom());
    return {};
}

bool writeStereoWav(const std::string& path, const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(kWavHeaderBytes + samples.size() * 2);
    wavHeader(bytes.data(), samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i)
        putLe16(bytes.data() + kWavHeaderBytes + 2 * i, static_cast<uint16_t>(samples[i]));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    return static_cast<bool>(file);
}

bool writeDemoSounds(const std::string& dir, std::string* error) {
    for (const DemoSound& sound : demoSounds()) {
        std::string path = dir + "/" + sound.file;
        if (!writeStereoWav(path, demoSamples(sound.file))) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

const char* demoScene() {
    return kScene;
}

}  // namespace kx
