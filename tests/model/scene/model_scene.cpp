// SPDX-License-Identifier: Apache-2.0
// model_scene: the reference model's seeded scenario written out as a kxplay scene, so that any
// home of the module (the host's stepped render, the emulated target) can be held to the model.
// Writes into DIR the scenario's WAV files, scene.kxs (each call at the period it falls in, an
// `end` at the last period), expected.wav (every period the model predicts, from period 0) and
// expected.log (the p<K> line kxplay must print for each command, with the model's status).
//
// The scene language names sounds, not pointers, so a few of the scenario's calls are written as
// the nearest call a scene can make, and the model is run on that call instead:
//   - each create gets a name of its own (c0, c1, ...); a deleted sound's names are forgotten;
//   - a pause or stop of a deleted sound, or of a pointer that was never a sound, names a sound
//     the scene never made (kxplay passes a pointer that names no sound);
//   - a play of a deleted or unknown sound, or of no sound, names such a sound too, and kxplay
//     passes no handle (the model's play of no sound);
//   - the scenario's second name for a file ("./s0.wav") becomes a plain name of its own
//     ("again-s0.wav"), still a second sound of the same bytes: the target's archive takes
//     plain names only;
//   - play's loop and exclusive, and mute, are on or off: the scenario's values with a non-zero
//     low byte are written on, the others off.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/model/model.h"
#include "tests/model/scenario.h"

namespace {

using kxmodel::Action;
using kxmodel::Model;
using kxmodel::Op;
using kxmodel::Target;
using kxmodel::Who;

constexpr const char* kNobody = "nobody";  // a name no line of the scene ever makes

void put16(std::string* out, uint32_t v) {
    out->push_back(static_cast<char>(v & 0xFF));
    out->push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string* out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

bool writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

// A canonical 16-bit stereo 44100 Hz WAV file of the given periods.
std::string wavOf(const std::vector<kxmodel::Period>& periods) {
    std::string data;
    for (const kxmodel::Period& p : periods)
        for (int16_t s : p)
            put16(&data, static_cast<uint16_t>(s));
    std::string out = "RIFF";
    put32(&out, static_cast<uint32_t>(36 + data.size()));
    out += "WAVEfmt ";
    put32(&out, 16);
    put16(&out, 1);
    put16(&out, 2);
    put32(&out, 44100);
    put32(&out, 44100 * 4);
    put16(&out, 4);
    put16(&out, 16);
    out += "data";
    put32(&out, static_cast<uint32_t>(data.size()));
    return out + data;
}

std::string result(int32_t status) {
    std::string name = kxmodel::statusName(status);
    std::string number = std::to_string(status);
    return name == number ? number : number + " " + name;
}

bool on(uint32_t value) {
    return (value & 0xFF) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: model_scene SEED FRAMES DIR\n");
        return 2;
    }
    uint64_t seed = std::strtoull(argv[1], nullptr, 10);
    uint32_t frames = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    std::filesystem::path dir = argv[3];
    std::filesystem::create_directories(dir);

    kxmodel::Scenario sc = kxmodel::generateScenario(seed, frames);
    auto plain = [](const std::string& name) {
        return name.rfind("./", 0) == 0 ? "again-" + name.substr(2) : name;
    };
    std::map<std::string, kxmodel::Bytes> files;
    for (auto& [name, bytes] : sc.files)
        files[plain(name)] = bytes;
    sc.files = files;
    for (Action& a : sc.actions)
        a.name = plain(a.name);
    for (const auto& [name, bytes] : sc.files)
        if (!writeFile(dir / name, std::string(bytes.begin(), bytes.end()))) {
            std::fprintf(stderr, "model_scene: cannot write %s\n", (dir / name).c_str());
            return 1;
        }

    Model model(sc.frames, sc.files);
    std::map<int, std::string> nameOf;  // live model id -> a scene name that holds its handle
    std::string scene = "# reference model scenario, seed " + std::to_string(seed) + ", " +
                        std::to_string(frames) + " frames per period\n";
    std::string log;
    uint32_t period = 0;
    int made = 0;
    for (const Action& a : sc.actions) {
        std::string command;
        int32_t status = 0;
        auto named = [&](int id) {
            auto it = nameOf.find(id);
            return it == nameOf.end() ? std::string(kNobody) : it->second;
        };
        switch (a.op) {
            case Op::Create: {
                std::string name = "c" + std::to_string(made++);
                command = "sound " + name + " " + a.name;
                kxmodel::CreateResult r = model.create(a.name);
                status = r.status;
                if (r.id >= 0 && !nameOf.count(r.id))
                    nameOf[r.id] = name;
                break;
            }
            case Op::Delete:
                command = "delete " + named(a.sound);
                status = model.remove(a.sound);
                nameOf.erase(a.sound);
                break;
            case Op::Play: {
                bool live = a.who == Who::Sound;
                command = "play " + (live ? named(a.sound) : std::string(kNobody));
                if (on(a.b))
                    command += " loop";
                if (on(a.a))
                    command += " exclusive";
                status = model.play(live ? Target::sound(a.sound) : Target::none(), on(a.a) ? 1 : 0,
                                    on(a.b) ? 1 : 0);
                break;
            }
            case Op::Pause:
            case Op::Stop: {
                Target t = a.who == Who::Sound  ? Target::sound(a.sound)
                           : a.who == Who::None ? Target::none()
                                                : Target::unknown();
                command = a.op == Op::Pause ? "pause " : "stop ";
                command += a.who == Who::Sound  ? named(a.sound)
                           : a.who == Who::None ? std::string("all")
                                                : std::string(kNobody);
                status = a.op == Op::Pause ? model.pause(t) : model.stop(t);
                break;
            }
            case Op::Volume:
                command = "volume " + std::to_string(a.a);
                status = model.volume(a.a);
                break;
            case Op::Mute:
                command = on(a.a) ? "mute on" : "mute off";
                status = model.mute(on(a.a) ? 1 : 0);
                break;
            case Op::Step:
                for (uint32_t k = 0; k < a.a; ++k)
                    model.step();
                period += a.a;
                continue;
        }
        scene += "at p" + std::to_string(period) + " " + command + "\n";
        std::string text = command;
        if (a.op == Op::Volume && a.a > 0xFF)
            text += " (kxaudio keeps the low 8 bits: volume " + std::to_string(a.a & 0xFF) + ")";
        log += "p" + std::to_string(period) + " " + text + " -> " + result(status) + "\n";
    }
    scene += "at p" + std::to_string(period) + " end\n";

    if (!writeFile(dir / "scene.kxs", scene) || !writeFile(dir / "expected.log", log) ||
        !writeFile(dir / "expected.wav", wavOf(model.periods()))) {
        std::fprintf(stderr, "model_scene: cannot write into %s\n", dir.c_str());
        return 1;
    }
    std::printf("%u\n", period);
    return 0;
}
