// SPDX-License-Identifier: Apache-2.0
// The scene on the image: kxplay's commands, parsed on the host and handed over as "scene.cmd"
// in the archive, each with the period after which it runs. The scene's task loads the module,
// runs each command once the driver has accepted its period, logs it as kxplay does
// ("p<K> <command> -> <result>"), frees the module after the last period and prints the summary.
//
// scene.cmd, one record a line, fields separated by '|':
//   kxscene|FRAMES|LAST           frames per period; the last period the output holds
//   K|VERB|NAME|FILE|LOCATION|FLAGS|VALUE|TEXT
// VERB is sound, play, pause, stop, delete, volume or mute, or hog (VALUE milliseconds of a
// task above the mixer that keeps the processor: the tests' way to make the mixer late); FLAGS
// holds 'l' (loop), 'e' (exclusive), 'a' (all) and 's' (a play that does nothing when NAME names no
// sound, as for kxplay's FILE arguments); TEXT is the command as written, for the log.
#pragma once

#include <cstdint>

namespace kx::metal {

constexpr uint16_t kScenePriority = 50;  // below the loader (89) and the mixer (192)
constexpr int kMaxCommands = 4096;

struct SceneSetup {
    uint32_t frames = 1024;
    uint64_t lastPeriod = 0;
    const char* text = nullptr;  // scene.cmd's records after the header
    uint32_t size = 0;
};

// Reads scene.cmd's header; false (with the reason on the console) when it is missing or
// malformed.
bool sceneLoad(SceneSetup* setup);
// The scene task's entry: plays the scene and ends the emulator.
void sceneTask(void* setup);

}  // namespace kx::metal
