// SPDX-License-Identifier: Apache-2.0
// Fuzz target: an input is kxplay scene text. A parse either fails naming a line that exists,
// with a message and no commands, or succeeds with commands on lines that exist in the written
// order; resolving them gives each its period and orders them stably; the readers of a resolved
// scene name only sounds the scene plays. Single-threaded; no shared state.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/kxplay/scene.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "scene_fuzzer: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;

    kx::Scene scene;
    kx::SceneError error;
    if (!kx::parseScene(text, &scene, &error)) {
        if (!scene.commands.empty() || error.line < 1 || error.line > lines ||
            error.message.empty())
            fail("a failed parse is not reported as one line's error");
        return 0;
    }
    for (size_t i = 0; i < scene.commands.size(); ++i) {
        const kx::SceneCommand& c = scene.commands[i];
        if (c.line < 1 || c.line > lines || (i > 0 && c.line <= scene.commands[i - 1].line))
            fail("commands are not on their own lines in the written order");
        if (c.atPeriod ? c.when > kx::KXPLAY_MAX_PERIOD
                       : c.when > kx::KXPLAY_MAX_SECONDS * kx::KXPLAY_NANOS)
            fail("a time beyond the limits was accepted");
        if (c.verb == kx::SceneVerb::Sound && (c.name.empty() || c.file.empty()))
            fail("a sound without NAME or FILE");
    }

    for (uint32_t frames : {1u, 64u, 1024u, 65536u}) {
        kx::Scene resolved = scene;
        kx::resolveScene(&resolved, frames);
        for (size_t i = 0; i < resolved.commands.size(); ++i) {
            const kx::SceneCommand& c = resolved.commands[i];
            uint64_t want = c.atPeriod ? c.when : kx::periodAt(c.when, frames);
            if (c.period != want)
                fail("a command's period is not its time's");
            if (i > 0) {
                const kx::SceneCommand& before = resolved.commands[i - 1];
                if (before.period > c.period || (before.period == c.period && before.line > c.line))
                    fail("resolved commands are not in stable period order");
            }
        }
        std::string looping = kx::sceneEndlessLoop(resolved);
        bool played = looping.empty();
        for (const kx::SceneCommand& c : resolved.commands)
            played = played || (c.verb == kx::SceneVerb::Play && c.loop && c.name == looping);
        if (!played)
            fail("an endless loop names a sound no 'play ... loop' plays");
        kx::sceneHasEnd(resolved);
    }
    return 0;
}
