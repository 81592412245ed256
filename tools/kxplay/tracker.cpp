// SPDX-License-Identifier: Apache-2.0
// The play tracker: follows the module's play rules and its lending of stream blocks from the
// statuses the operations return, so that kxplay knows what is heard and when nothing is heard
// any more. Runs on the runner's thread; no lock.
#include "tools/kxplay/tracker.h"

#include <algorithm>

namespace kx {
namespace {

TrackedSound* find(PlayTracker* tracker, SoundHandle handle) {
    if (handle == nullptr)
        return nullptr;
    for (TrackedSound& sound : tracker->sounds)
        if (sound.handle == handle)
            return &sound;
    return nullptr;
}

uint32_t blocksLent(const PlayTracker& tracker) {
    return static_cast<uint32_t>(std::count_if(tracker.sounds.begin(), tracker.sounds.end(),
                                               [](const TrackedSound& s) { return s.block; }));
}

void stop(TrackedSound* sound) {
    sound->state = TrackedState::Stopped;
    sound->block = false;
}

// A start gives back the block the sound held, then takes the first free one, if any.
void startFromTheBeginning(PlayTracker* tracker, TrackedSound* sound) {
    sound->block = false;
    sound->block = blocksLent(*tracker) < SND_STREAM_BLOCKS;
    sound->state = TrackedState::Playing;
    sound->periodsLeft = trackerPeriodsOf(*tracker, sound->dataLength);
    sound->heard = 0;
}

bool heard(const TrackedSound& s) {
    return s.state == TrackedState::Playing && s.block;
}

}  // namespace

void trackerInit(PlayTracker* tracker, uint32_t periodBytes) {
    tracker->periodBytes = periodBytes == 0 ? 1 : periodBytes;
    tracker->sounds.clear();
    tracker->names.clear();
}

SoundHandle trackerLookup(const PlayTracker& tracker, const std::string& name) {
    auto it = tracker.names.find(name);
    return it == tracker.names.end() ? nullptr : it->second;
}

uint64_t trackerPeriodsOf(const PlayTracker& tracker, uint32_t dataLength) {
    uint64_t periods =
        (static_cast<uint64_t>(dataLength) + tracker.periodBytes - 1) / tracker.periodBytes;
    return periods == 0 ? 1 : periods;
}

void trackerCreated(PlayTracker* tracker, const std::string& name, int32_t status,
                    SoundHandle handle, uint32_t dataLength) {
    if (handle == nullptr || (status != SND_OK && status != SND_ERR_EXISTS)) {
        tracker->names.erase(name);
        return;
    }
    if (find(tracker, handle) == nullptr) {
        TrackedSound sound;
        sound.handle = handle;
        sound.dataLength = dataLength;
        tracker->sounds.push_back(sound);
    }
    tracker->names[name] = handle;
}

void trackerPlayed(PlayTracker* tracker, SoundHandle handle, bool exclusive, bool loop,
                   int32_t status) {
    // Only a request that found its sound changes anything: then it either started it (0) or,
    // with SND_ERR_FILE, failed to reopen its file after the exclusive sweep had already run.
    TrackedSound* sound = find(tracker, handle);
    if (sound == nullptr || (status != SND_OK && status != SND_ERR_FILE))
        return;
    size_t playing =
        std::count_if(tracker->sounds.begin(), tracker->sounds.end(),
                      [](const TrackedSound& s) { return s.state == TrackedState::Playing; });
    bool soleAndSelf = playing == 1 && sound->state == TrackedState::Playing;
    // The sole playing sound restarts without the sweep; otherwise an exclusive play stops every
    // playing sound, itself included, and paused sounds are left as they are.
    if (exclusive && !soleAndSelf) {
        for (TrackedSound& other : tracker->sounds)
            if (other.state == TrackedState::Playing)
                stop(&other);
    }
    if (status != SND_OK) {
        // A start that could not reopen the file has already given the block back; the sound
        // keeps its state, so one that was playing now plays unheard.
        if (sound->state != TrackedState::Paused)
            sound->block = false;
        return;
    }
    sound->loop = loop;
    if (sound->state == TrackedState::Paused)
        sound->state = TrackedState::Playing;  // resumes where its queue stands
    else
        startFromTheBeginning(tracker, sound);
}

void trackerPaused(PlayTracker* tracker, SoundHandle handle, int32_t status) {
    if (status != SND_OK)
        return;
    for (TrackedSound& sound : tracker->sounds)
        if ((handle == nullptr || sound.handle == handle) && sound.state == TrackedState::Playing)
            sound.state = TrackedState::Paused;
}

void trackerStopped(PlayTracker* tracker, SoundHandle handle, int32_t status) {
    if (status != SND_OK)
        return;
    for (TrackedSound& sound : tracker->sounds)
        if (handle == nullptr || sound.handle == handle)
            stop(&sound);
}

void trackerDeleted(PlayTracker* tracker, SoundHandle handle, int32_t status) {
    if (status != SND_OK || handle == nullptr)
        return;
    std::erase_if(tracker->sounds, [&](const TrackedSound& s) { return s.handle == handle; });
    std::erase_if(tracker->names, [&](const auto& entry) { return entry.second == handle; });
}

void trackerAdvance(PlayTracker* tracker) {
    for (TrackedSound& sound : tracker->sounds) {
        if (!heard(sound))
            continue;
        ++sound.heard;
        if (sound.loop)
            continue;
        if (sound.periodsLeft > 0)
            --sound.periodsLeft;
        if (sound.periodsLeft == 0)
            stop(&sound);
    }
}

uint64_t trackerPeriodsToNextStop(const PlayTracker& tracker) {
    uint64_t soonest = UINT64_MAX;
    for (const TrackedSound& sound : tracker.sounds) {
        if (!heard(sound) || sound.loop)
            continue;
        // A heard sound has at least one period left: trackerAdvance stops it at 0.
        soonest = std::min(soonest, std::max<uint64_t>(sound.periodsLeft, 1));
    }
    return soonest;
}

bool trackerAnyPlaying(const PlayTracker& tracker) {
    return std::any_of(tracker.sounds.begin(), tracker.sounds.end(),
                       [](const TrackedSound& s) { return heard(s); });
}

bool trackerLooping(const PlayTracker& tracker, std::string* name) {
    for (const TrackedSound& sound : tracker.sounds) {
        if (!heard(sound) || !sound.loop)
            continue;
        if (name != nullptr) {
            name->clear();
            for (const auto& [bound, handle] : tracker.names)
                if (handle == sound.handle) {
                    *name = bound;
                    break;
                }
        }
        return true;
    }
    return false;
}

}  // namespace kx
