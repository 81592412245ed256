// SPDX-License-Identifier: Apache-2.0
// The scenario generator, the scenario's printed form and the model-only run. Everything comes
// from one 64-bit seed through a private generator, so a seed names the same files and calls on
// every build.
#include "tests/model/scenario.h"

#include <sstream>

#include "tests/support/wavgen.h"

namespace kxmodel {

namespace {

kxtest::Bytes noise(Rng& rng, uint32_t count, int amplitude) {
    kxtest::Bytes out;
    out.reserve(count);
    while (out.size() < count) {
        int v = static_cast<int>(rng.below(2 * amplitude + 1)) - amplitude;
        out.push_back(static_cast<uint8_t>(v));
        if (out.size() < count)
            out.push_back(static_cast<uint8_t>(v >> 8));
    }
    return out;
}

kxtest::Chunk junk(Rng& rng, const char* id, uint32_t size) {
    kxtest::Chunk c;
    c.id = id;
    for (uint32_t i = 0; i < size; ++i)
        c.body.push_back(static_cast<uint8_t>(0x41 + rng.below(50)));
    return c;
}

// A playable file: 16-bit stereo at 44100 Hz, with a data length chosen to sit on, off, below or
// far beyond a period boundary, and chunks and padding around the data.
kxtest::Bytes playable(Rng& rng, uint32_t p) {
    kxtest::WavLayout layout;
    uint32_t length = 0;
    switch (rng.below(6)) {
        case 0:
            length = p * rng.range(1, 6);
            break;  // whole periods
        case 1:
            length = p * rng.range(1, 5) + 4 * rng.range(1, p / 4 - 1);
            break;  // whole frames
        case 2:
            length = p * rng.range(0, 4) + rng.range(1, p - 1);
            break;  // any bytes
        case 3:
            length = rng.range(1, p - 1);
            break;  // under a period
        case 4:
            length = 0;
            break;
        default:
            length = p * rng.range(6, 12) + rng.below(p);
            break;  // long
    }
    static const std::vector<int> amplitudes = {32767, 20000, 9000, 700};
    layout.data = noise(rng, length, rng.pick(amplitudes));
    static const std::vector<uint32_t> fmtSizes = {16, 16, 16, 18, 17, 21};
    layout.fmtSize = rng.pick(fmtSizes);
    static const std::vector<const char*> ids = {"LIST", "junk", "fact", "bext", "cue "};
    if (rng.chance(40)) {
        int chunks =
            rng.chance(10) ? 18 : rng.range(1, 3);  // 18 others and "fmt ": the most allowed
        for (int i = 0; i < chunks; ++i)
            layout.before.push_back(junk(rng, rng.pick(ids), rng.below(12)));
    }
    if (rng.chance(15) && length > 0) {
        // The "data" chunk claims more than the file holds: reads end at the end of the file.
        // One in five claims 2 GiB or more, as writers streaming to a pipe do (0xFFFFFFFF).
        uint32_t beyond = static_cast<uint32_t>(rng.range(1, 3 * p));
        layout.dataSizeOverride = beyond % 5 != 0   ? length + beyond
                                  : beyond % 2 != 0 ? 0xFFFFFFFF
                                                    : 0x80000000;
    } else if (rng.chance(40)) {
        // Bytes after the data must never be heard.
        layout.after.push_back(junk(rng, rng.pick(ids), rng.range(1, 40)));
    }
    return kxtest::buildWav(layout);
}

// A file that opens but is refused: wrong format, not RIFF/WAVE, no "data" chunk in reach, or a
// header cut short.
kxtest::Bytes unplayable(Rng& rng, uint32_t p) {
    kxtest::WavLayout layout;
    layout.data = noise(rng, p * rng.range(1, 3), 9000);
    switch (rng.below(8)) {
        case 0:
            layout.channels = 1;
            break;
        case 1:
            layout.bits = 8;
            break;
        case 2:
            layout.sampleRate = 48000;
            break;
        case 3:
            layout.formatTag = 3;
            break;
        case 4:  // "fmt " and 19 others: the "data" header is the 21st and is never read
            for (int i = 0; i < 19; ++i)
                layout.before.push_back(junk(rng, "junk", rng.below(6)));
            break;
        case 5: {  // "data" before "fmt ": judged by a format tag of 0
            layout.writeFmt = false;
            kxtest::WavLayout fmt;
            kxtest::Bytes full = kxtest::buildWav(fmt);
            layout.after.push_back({"fmt ", kxtest::Bytes(full.begin() + 20, full.begin() + 36)});
            break;
        }
        case 6: {
            kxtest::Bytes b = kxtest::buildWav(layout);
            b[3] = 'X';  // "RIFX"
            return b;
        }
        default: {
            kxtest::Bytes b = kxtest::buildWav(layout);
            b.resize(rng.range(0, 40));  // cut inside the header
            return b;
        }
    }
    return kxtest::buildWav(layout);
}

uint32_t pickVolume(Rng& rng) {
    static const std::vector<uint32_t> odd = {100, 101, 255, 356, 300, 612, 0x1FF, 0};
    return rng.chance(50) ? rng.range(0, 100) : rng.pick(odd);
}

}  // namespace

namespace {

Scenario generateWith(Rng& rng, uint64_t seed, uint32_t frames) {
    Scenario sc;
    sc.seed = seed;
    sc.frames = frames;
    uint32_t p = sc.frames * 4;

    std::vector<std::string> names;
    int good = rng.range(5, 8);
    for (int i = 0; i < good; ++i) {
        std::string name = "s" + std::to_string(i) + ".wav";
        sc.files[name] = playable(rng, p);
        names.push_back(name);
    }
    // The same file under a second name is a second sound.
    sc.files["./s0.wav"] = sc.files["s0.wav"];
    names.push_back("./s0.wav");
    int bad = rng.range(1, 3);
    for (int i = 0; i < bad; ++i) {
        std::string name = "b" + std::to_string(i) + ".wav";
        sc.files[name] = unplayable(rng, p);
        names.push_back(name);
    }
    names.push_back("missing.wav");

    // The generator keeps its own model so that it can aim calls at live and deleted sounds.
    Model model(sc.frames, sc.files);
    std::vector<int> deleted;
    int count = rng.range(150, 300);
    for (int i = 0; i < count; ++i) {
        Action a;
        std::vector<int> live = model.live();
        uint32_t roll = i < 4 ? 0 : rng.below(100);
        // An empty pool is mostly refilled at once, but calls on it are made too.
        bool empty = live.empty();
        if (roll < 10 || (empty && rng.chance(70))) {
            a.op = Op::Create;
            a.name = i < good && rng.chance(80) ? names[i] : rng.pick(names);
            CreateResult r = model.create(a.name);
            (void)r;
        } else if (roll < 13 && !empty) {
            a.op = Op::Delete;
            a.sound = rng.pick(live);
            model.remove(a.sound);
            deleted.push_back(a.sound);
        } else if (roll < 75) {
            a.op = roll < 50 ? Op::Play : roll < 63 ? Op::Pause : Op::Stop;
            uint32_t whom = rng.below(100);
            if (whom < 85 && !empty) {
                a.who = Who::Sound;
                a.sound = rng.pick(live);
            } else if (whom < 90 && !deleted.empty()) {
                a.who = Who::Stale;
                a.sound = rng.pick(deleted);
            } else if (whom < 94) {
                a.who = Who::Unknown;
            } else {
                a.who = Who::None;
            }
            Target t = a.who == Who::Sound  ? Target::sound(a.sound)
                       : a.who == Who::None ? Target::none()
                                            : Target::unknown();
            if (a.op == Op::Play) {
                static const std::vector<uint32_t> off = {0, 0, 0x100, 0x200};
                static const std::vector<uint32_t> on = {1, 4, 0x101, 0xFF};
                a.a = rng.chance(15) ? rng.pick(on) : rng.pick(off);
                a.b = rng.chance(45) ? rng.pick(on) : rng.pick(off);
                model.play(t, a.a, a.b);
            } else if (a.op == Op::Pause) {
                model.pause(t);
            } else {
                model.stop(t);
            }
        } else if (roll < 79) {
            a.op = Op::Volume;
            a.a = pickVolume(rng);
            model.volume(a.a);
        } else if (roll < 81) {
            a.op = Op::Mute;
            static const std::vector<uint32_t> mutes = {0, 0, 0x100, 1, 0x101, 0xFF};
            a.a = rng.pick(mutes);
            model.mute(a.a);
        } else {
            a.op = Op::Step;
            a.a = rng.range(1, 3);
            for (uint32_t k = 0; k < a.a; ++k)
                model.step();
        }
        sc.actions.push_back(a);
    }
    return sc;
}

Rng seeded(uint64_t seed) {
    return Rng{seed * 0x2545F4914F6CDD1Dull + 7};
}

}  // namespace

Scenario generateScenario(uint64_t seed) {
    Rng rng = seeded(seed);
    // Periods that are and are not multiples of 64, 32 and 16 bytes, and odd frame counts whose
    // last frame lies outside every 8-byte group.
    static const std::vector<uint32_t> frames = {16, 16, 64, 32, 8, 10, 34, 17, 5};
    uint32_t chosen = rng.pick(frames);
    return generateWith(rng, seed, chosen);
}

Scenario generateScenario(uint64_t seed, uint32_t frames) {
    Rng rng = seeded(seed);
    return generateWith(rng, seed, frames);
}

Target modelTarget(const Action& a) {
    switch (a.who) {
        case Who::Sound:
            return Target::sound(a.sound);
        case Who::None:
            return Target::none();
        default:
            return Target::unknown();
    }
}

Trace runModel(const Scenario& sc) {
    Model model(sc.frames, sc.files);
    Trace t;
    for (const Action& a : sc.actions) {
        int32_t status = 0;
        int handle = -1;
        switch (a.op) {
            case Op::Create: {
                CreateResult r = model.create(a.name);
                status = r.status;
                handle = r.id;
                break;
            }
            case Op::Delete:
                status = model.remove(a.sound);
                break;
            case Op::Play:
                status = model.play(modelTarget(a), a.a, a.b);
                break;
            case Op::Pause:
                status = model.pause(modelTarget(a));
                break;
            case Op::Stop:
                status = model.stop(modelTarget(a));
                break;
            case Op::Volume:
                status = model.volume(a.a);
                break;
            case Op::Mute:
                status = model.mute(a.a);
                break;
            case Op::Step:
                for (uint32_t k = 0; k < a.a; ++k)
                    model.step();
                break;
        }
        t.statuses.push_back(status);
        t.handles.push_back(handle);
    }
    t.periods = model.periods();
    t.notes = model.notes();
    return t;
}

std::string describe(const Action& a) {
    std::ostringstream out;
    auto whom = [&]() {
        switch (a.who) {
            case Who::Sound:
                out << " #" << a.sound;
                break;
            case Who::Stale:
                out << " deleted#" << a.sound;
                break;
            case Who::None:
                out << " all";
                break;
            case Who::Unknown:
                out << " unknown-pointer";
                break;
        }
    };
    switch (a.op) {
        case Op::Create:
            out << "create \"" << a.name << "\"";
            break;
        case Op::Delete:
            out << "delete #" << a.sound;
            break;
        case Op::Play:
            out << "play";
            whom();
            out << " exclusive=0x" << std::hex << a.a << " loop=0x" << a.b;
            break;
        case Op::Pause:
            out << "pause";
            whom();
            break;
        case Op::Stop:
            out << "stop";
            whom();
            break;
        case Op::Volume:
            out << "volume " << a.a;
            break;
        case Op::Mute:
            out << "mute " << a.a;
            break;
        case Op::Step:
            out << "step " << a.a;
            break;
    }
    return out.str();
}

std::string describe(const Scenario& sc, size_t last) {
    std::ostringstream out;
    out << "seed " << sc.seed << ", frames per period " << sc.frames << " (P = " << sc.frames * 4
        << " bytes); replay with KX_MODEL_FIRST_SEED=" << sc.seed << " KX_MODEL_SEEDS=1\nfiles:\n";
    for (const auto& [name, bytes] : sc.files) {
        WavHeader h = parseWav(bytes);
        out << "  " << name << ": " << bytes.size() << " bytes";
        if (h.ok) {
            out << ", " << h.channels << " ch " << h.sampleRate << " Hz " << h.bits
                << " bit, data at " << h.dataOffset << ", " << h.dataLength << " bytes";
        } else {
            out << ", no playable header";
        }
        out << "\n";
    }
    out << "calls:\n";
    int period = 0;
    for (size_t i = 0; i < sc.actions.size() && i <= last; ++i) {
        out << "  [" << i << "] " << describe(sc.actions[i]);
        if (sc.actions[i].op == Op::Step) {
            out << "  -> periods " << period + 1 << ".." << period + sc.actions[i].a;
            period += sc.actions[i].a;
        }
        out << "\n";
    }
    return out.str();
}

}  // namespace kxmodel
