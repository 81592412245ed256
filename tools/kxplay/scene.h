// SPDX-License-Identifier: Apache-2.0
// kxplay's scene language: one timed command a line, parsed into a list of commands that the
// runner hands to the module period by period, and the scene kxplay makes for FILE arguments.
// Parsing keeps no state and takes no lock; a Scene is owned by its caller and used by one
// thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/devices/wav_format.h"

namespace kx {

constexpr uint32_t KXPLAY_RATE = kStreamRate;       // frames per second of the stream
constexpr uint64_t KXPLAY_NANOS = 1000000000;       // a time in seconds is held in nanoseconds
constexpr uint64_t KXPLAY_MAX_SECONDS = 100000;     // larger times are refused (27 hours)
constexpr uint64_t KXPLAY_MAX_PERIOD = 1000000000;  // larger period indexes are refused
constexpr uint32_t KXPLAY_SCENE_LOCATION = 1;       // location of a scene's FILE arguments

enum class SceneVerb : uint8_t { Sound, Play, Pause, Stop, Delete, Volume, Mute, End };

// One command, as parsed. `period` is valid once resolveScene has run.
struct SceneCommand {
    int line = 0;  // 1-based line of the scene text (0: made by kxplay itself)
    SceneVerb verb = SceneVerb::End;
    bool atPeriod = false;  // TIME was written as pK
    uint64_t when = 0;      // pK: K; seconds: nanoseconds (0 when no TIME was written)
    std::string name;       // the sound's NAME (sound, play, pause, stop, delete)
    bool all = false;       // pause all / stop all
    std::string file;       // sound: the file name handed to the module
    uint32_t location = KXPLAY_SCENE_LOCATION;  // sound: the location FILE is taken from
    bool loop = false;                          // play ... loop
    bool exclusive = false;                     // play ... exclusive
    uint32_t value = 0;                         // volume N; mute: 1 for on, 0 for off
    // The command as written, without "at TIME" and comment, with control bytes spelled out
    // (visibleText); a volume that kxaudio hears as another value says so here.
    std::string text;
    uint64_t period = 0;  // the period after which it runs (resolveScene)
};

struct Scene {
    std::vector<SceneCommand> commands;  // in the order written, or by period once resolved
};

struct SceneError {
    int line = 0;           // 1-based line of the first malformed line
    std::string message;    // what was expected there, in words
    bool bareTime = false;  // the line begins with a time that lacks its "at"
};

// Parses a whole scene. On success fills *scene (commands in the order written) and returns
// true. On the first malformed line returns false with *error naming the line and what was
// expected; *scene is then left empty. A UTF-8 byte order mark before the first line is passed
// over; a line holding a NUL byte is malformed. Words quoted in a message have their control
// bytes spelled out (visibleText), so a message never acts on the terminal.
bool parseScene(std::string_view text, Scene* scene, SceneError* error);

// Reads a time in seconds written as digits with at most nine decimals ("1.5", "0.25", "3").
// Returns false (and leaves *nanos alone) for anything else or more than KXPLAY_MAX_SECONDS.
bool parseSeconds(std::string_view text, uint64_t* nanos);

// The first period whose start is at or after `nanos`, with `frames` frames per period.
uint64_t periodAt(uint64_t nanos, uint32_t frames);

// Gives every command its period for `frames` frames per period and orders the commands by
// period, keeping the written order among commands due at the same period.
void resolveScene(Scene* scene, uint32_t frames);

// Whether the scene holds an `end` command.
bool sceneHasEnd(const Scene& scene);

// Reads the scene as written, before anything plays: the NAME of a sound that a `play ... loop`
// leaves looping after the last command (nothing later stops, pauses, deletes, replays it
// without loop, or plays another sound exclusively), or "" when there is none. Names given the
// same FILE count as one sound, as the module identifies a sound by its path. Expects a
// resolved scene.
std::string sceneEndlessLoop(const Scene& scene);

// FILE mode: the scene "sound NAME FILE, play NAME" for each file, NAMEs made from the file
// names, each file's directory bound to a location of its own (2, 3, ...; one per distinct
// directory) and the module given only the file's name.
struct FileScene {
    Scene scene;
    std::vector<std::pair<uint32_t, std::string>> locations;
};
FileScene sceneForFiles(const std::vector<std::string>& files);

}  // namespace kx
