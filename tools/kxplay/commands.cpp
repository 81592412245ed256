// SPDX-License-Identifier: Apache-2.0
// The runner's commands: each scene command through the operation table, its log line, the
// tracker's record of what plays, and why a file was not created or not played. Runner's thread
// only; the state is the Runner's.
#include "tools/kxplay/commands.h"

#include <cstddef>
#include <string>

#include "tools/kxplay/info.h"
#include "tools/kxplay/report.h"

namespace kx {
namespace {

// The address of this zero-filled record names no sound the module has: it is what a pause or
// stop of a NAME that names nothing is given, so that the module answers SND_ERR_PARAM for it
// instead of taking "no sound" as "every sound".
alignas(std::max_align_t) unsigned char noSuchSound[64];

std::string pathOf(const Runner& r, const SceneCommand& c) {
    auto it = r.directories.find(c.location);
    if (it == r.directories.end() || it->second == ".")
        return c.file;
    return it->second + (it->second.back() == '/' ? "" : "/") + c.file;
}

// After a failed _sndCreate: says in words what is wrong with the file.
void explainCreate(Runner& r, const SceneCommand& c, int32_t status) {
    std::string path = pathOf(r, c);
    if (status == SND_ERR_FILE || status == SND_ERR_FORMAT) {
        WavInspection w = inspectWav(path);
        skipConsole(r);
        if (!w.unreadable.empty())
            say(r, "%s: cannot be read: %s", path.c_str(), w.unreadable.c_str());
        else if (!w.accepted)
            say(r, "%s: refused: %s (kxplay --info shows more)", path.c_str(), w.reason.c_str());
        else
            say(r, "%s: kxaudio could not open it (%s)", path.c_str(), sndStatusName(status));
    } else if (status == SND_ERR_NO_MEMORY) {
        say(r, "%s: kxaudio has no memory left for it", path.c_str());
    } else {
        const char* name = sndStatusName(status);
        say(r, "%s: not created (%s)", path.c_str(), name ? name : std::to_string(status).c_str());
    }
    ++r.report.failedFiles;
}

// Says why a file was not played. In a scene the module's refusals are its rules at work and the
// log shows them; only a file that can no longer be opened is a failed file there.
void explainPlay(Runner& r, const SceneCommand& c, int32_t status) {
    if (status == SND_OK)
        return;
    if (!r.config.filesMode) {
        if (status == SND_ERR_FILE) {
            say(r,
                "sound '%s' not played: kxaudio could not reopen its file (removed, renamed or "
                "made unreadable since it was made)",
                c.name.c_str());
            ++r.report.failedFiles;
        }
        return;
    }
    std::string path = pathOf(r, c);
    static_assert(SND_MAX_PLAYING == 4, "the message below spells the module's limit out");
    if (status == SND_ERR_TOO_MANY)
        say(r, "%s: not played: four sounds already play, and kxaudio plays at most four",
            path.c_str());
    else if (status == SND_ERR_FILE)
        say(r, "%s: not played: kxaudio could not reopen the file", path.c_str());
    else
        say(r, "%s: not played (%s)", path.c_str(),
            sndStatusName(status) ? sndStatusName(status) : std::to_string(status).c_str());
    ++r.report.failedFiles;
}

}  // namespace

// Runs one command through the operation table, logs it and updates the tracker.
void execute(Runner& r, const SceneCommand& c) {
    const SndOperations& ops = *r.ops;
    SoundHandle named = c.name.empty() ? nullptr : trackerLookup(r.tracker, c.name);
    int32_t status = 0;
    switch (c.verb) {
        case SceneVerb::Sound: {
            SoundHandle handle = nullptr;
            status = ops.sndCreate(c.location, c.file.c_str(), &handle);
            logResult(r, c, status);
            forwardConsole(r);
            uint32_t heard = 0;
            if (status == SND_OK) {
                WavInspection w = inspectWav(pathOf(r, c));
                skipConsole(r);
                heard = wavBytesHeard(w);
            } else if (status != SND_ERR_EXISTS) {
                explainCreate(r, c, status);
            }
            trackerCreated(&r.tracker, c.name, status, handle, heard);
            return;
        }
        case SceneVerb::Play:
            if (r.config.filesMode && named == nullptr)
                return;  // its file was not created; that has been said
            status = ops.sndPlay(named, c.exclusive ? 1 : 0, c.loop ? 1 : 0);
            trackerPlayed(&r.tracker, named, c.exclusive, c.loop, status);
            logResult(r, c, status);
            explainPlay(r, c, status);
            break;
        case SceneVerb::Pause:
        case SceneVerb::Stop: {
            SoundHandle handle = c.all              ? nullptr
                                 : named != nullptr ? named
                                                    : reinterpret_cast<SoundHandle>(noSuchSound);
            if (c.verb == SceneVerb::Pause) {
                status = ops.sndPause(handle);
                trackerPaused(&r.tracker, c.all ? nullptr : named, status);
            } else {
                status = ops.sndStop(handle);
                trackerStopped(&r.tracker, c.all ? nullptr : named, status);
            }
            logResult(r, c, status);
            break;
        }
        case SceneVerb::Delete:
            status = ops.sndDelete(named);
            trackerDeleted(&r.tracker, named, status);
            logResult(r, c, status);
            break;
        case SceneVerb::Volume:
            status = ops.sndVolume(c.value);
            logResult(r, c, status);
            break;
        case SceneVerb::Mute:
            status = ops.sndMute(c.value);
            logResult(r, c, status);
            break;
        case SceneVerb::End:
            break;
    }
    forwardConsole(r);
}

}  // namespace kx
