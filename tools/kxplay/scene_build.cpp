// SPDX-License-Identifier: Apache-2.0
// Scenes once parsed, and scenes kxplay makes itself: each command's period and the order they
// run in, the checks made on a scene before anything plays, and the scene that plays FILE
// arguments. Pure functions over the caller's data; no shared state, no lock.
#include "tools/kxplay/scene.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace kx {

uint64_t periodAt(uint64_t nanos, uint32_t frames) {
    // Exact integer arithmetic: a time that falls on a period boundary (0.1 s at 441 frames)
    // must name that period, which floating point would miss. nanos * 44100 stays below 2^63
    // because times are capped at KXPLAY_MAX_SECONDS.
    if (frames == 0)
        return 0;
    uint64_t numerator = nanos * KXPLAY_RATE;
    uint64_t denominator = KXPLAY_NANOS * frames;
    return (numerator + denominator - 1) / denominator;
}

void resolveScene(Scene* scene, uint32_t frames) {
    for (SceneCommand& command : scene->commands)
        command.period = command.atPeriod ? command.when : periodAt(command.when, frames);
    std::stable_sort(
        scene->commands.begin(), scene->commands.end(),
        [](const SceneCommand& a, const SceneCommand& b) { return a.period < b.period; });
}

bool sceneHasEnd(const Scene& scene) {
    return std::any_of(scene.commands.begin(), scene.commands.end(),
                       [](const SceneCommand& c) { return c.verb == SceneVerb::End; });
}

std::string sceneEndlessLoop(const Scene& scene) {
    // A sound is its location and file, as the module knows it by its path; a NAME is a label
    // for one of them. looping maps a sound to the NAME whose play set it looping.
    std::map<std::string, std::string> sounds;   // NAME -> sound
    std::map<std::string, std::string> looping;  // sound -> NAME
    auto soundOf = [&](const std::string& name) -> const std::string* {
        auto it = sounds.find(name);
        return it == sounds.end() ? nullptr : &it->second;
    };
    for (const SceneCommand& c : scene.commands) {
        const std::string* sound = c.name.empty() ? nullptr : soundOf(c.name);
        switch (c.verb) {
            case SceneVerb::Sound:
                sounds[c.name] = std::to_string(c.location) + ":" + c.file;
                break;
            case SceneVerb::Play:
                if (sound == nullptr)
                    break;
                if (c.exclusive)
                    looping.clear();
                if (c.loop)
                    looping[*sound] = c.name;
                else
                    looping.erase(*sound);
                break;
            case SceneVerb::Pause:
            case SceneVerb::Stop:
                if (c.all)
                    looping.clear();
                else if (sound != nullptr)
                    looping.erase(*sound);
                break;
            case SceneVerb::Delete:
                if (sound != nullptr) {
                    std::string gone = *sound;
                    looping.erase(gone);
                    std::erase_if(sounds, [&](const auto& entry) { return entry.second == gone; });
                }
                break;
            default:
                break;
        }
    }
    return looping.empty() ? std::string() : looping.begin()->second;
}

FileScene sceneForFiles(const std::vector<std::string>& files) {
    FileScene out;
    std::map<std::string, uint32_t> locationOf;
    std::set<std::string> namesUsed;
    std::vector<SceneCommand> plays;
    for (const std::string& file : files) {
        size_t slash = file.rfind('/');
        std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : file.substr(0, slash);
        std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
        auto [it, added] = locationOf.emplace(
            directory, static_cast<uint32_t>(KXPLAY_SCENE_LOCATION + 1 + locationOf.size()));
        if (added)
            out.locations.emplace_back(it->second, directory);

        // A NAME from the file name: its stem, with characters a NAME cannot hold replaced,
        // made unique with a number.
        size_t dot = base.rfind('.');
        std::string name = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
        for (char& ch : name)
            if (!(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-' ||
                  ch == '.'))
                ch = '_';
        if (name.empty() || name == "all")
            name = "sound" + name;
        std::string unique = name;
        for (int n = 2; namesUsed.count(unique) != 0; ++n)
            unique = name + "-" + std::to_string(n);
        name = unique;
        namesUsed.insert(name);

        bool plain = file.find_first_of(" \t#\"") == std::string::npos && !file.empty();
        SceneCommand sound;
        sound.verb = SceneVerb::Sound;
        sound.name = name;
        sound.file = base;
        sound.location = it->second;
        sound.text = "sound " + name + " " + (plain ? file : "\"" + file + "\"");
        out.scene.commands.push_back(sound);

        SceneCommand playCommand;
        playCommand.verb = SceneVerb::Play;
        playCommand.name = name;
        playCommand.file = base;  // for messages about it
        playCommand.location = it->second;
        playCommand.text = "play " + name;
        plays.push_back(playCommand);
    }
    out.scene.commands.insert(out.scene.commands.end(), plays.begin(), plays.end());
    return out;
}

}  // namespace kx
