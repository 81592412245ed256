// SPDX-License-Identifier: Apache-2.0
// The fault sweep: for every public operation (and start-up and shutdown), every platform service
// it uses is made to fail at its 1st, 2nd, ... call, one failure per run, until a run completes
// without reaching the failure. Each run then checks that the status is the one the rules give,
// that the blocks are where they belong, that nothing is left after _sndFree, and that a
// following normal run works. Each operation prints how many injection points it covered.
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>

#include <gtest/gtest.h>

#include "platform/devices/dm.h"
#include "platform/devices/hda.h"
#include "platform/fault.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs_host.h"
#include "platform/kernel/rtk_host.h"
#include "tests/reliability/listen.h"
#include "tests/support/engine_state.h"
#include "tests/support/wavgen.h"

namespace kxtest {
namespace {

using kx::Fault;

constexpr uint32_t kFrames = 16;      // small periods keep every run short
constexpr uint32_t kDataFrames = 53;  // three periods and a bit: four blocks, the last padded
constexpr int kPlayBound = 12;        // periods a played sound gets to reach its end
constexpr int kLoopPeriods = 10;      // periods of a looping sound: two and a half passes
constexpr uint64_t kMaxCalls = 400;   // a sweep that reaches this has lost its way
constexpr uint32_t kSleepPercent = 10;

const std::vector<int16_t> kData = rampSamples(kDataFrames, 1, 1);
const std::vector<int16_t> kOther = rampSamples(kDataFrames, 5000, 3);
const int kSlices = sliceCount(kData.size(), kFrames);

// One run's whole world: a sound directory and the module over a reset platform.
struct Rig {
    TempDir dir;
    Module m{kFrames};
    std::vector<kx::SoundHandle> sounds;
    size_t first = 0;  // first captured period that belongs to the operation under test
};

struct Outcome {
    bool reached = false;
    std::string problems;
};

// sndFree without releasing the stepped clock first: the mixer leaves its write on the exit
// event and no cycle runs during shutdown, so the calls a shutdown makes are always the same.
void shutDown(Rig& r) {
    r.m.ops().sndFree();
}

bool start(Rig& r) {
    kx::kxfsBind(1, r.dir.path().c_str());
    return r.m.init() == kx::SND_OK;
}

kx::SoundHandle create(Rig& r, const std::string& name, const std::vector<int16_t>& samples) {
    r.dir.write(name, canonicalWav(samples));
    kx::SoundHandle h = nullptr;
    return r.m.ops().sndCreate(1, name.c_str(), &h) == kx::SND_OK ? h : nullptr;
}

// Sound state read without the lock: only while the engine is quiescent under the stepped
// clock, so that the test itself never takes a section while a fault is armed.
uint32_t stateNow(kx::SoundHandle h) {
    return h->state;
}

int32_t playToEnd(Rig& r, kx::SoundHandle h, uint32_t exclusive) {
    r.first = r.m.periods();
    int32_t status = r.m.ops().sndPlay(h, exclusive, 0);
    for (int i = 0; i < kPlayBound && stateNow(h) != kx::SND_STOPPED; ++i)
        r.m.step();
    return status;
}

std::string statusText(int32_t status) {
    const char* name = kx::sndStatusName(status);
    return name ? name : std::to_string(status);
}

std::string expectStatus(int32_t got, int32_t want) {
    return got == want ? "" : "status " + statusText(got) + ", expected " + statusText(want) + "; ";
}

// Blocks after the run. A failed section entry may cost one block: a detach that cannot lock the
// load pool leaves it there without owner, and a block that no pool takes back is destroyed.
std::string blocksAfter(Fault fault) {
    std::string full = blockInvariant();
    if (full.empty() || fault != Fault::SectionEnter)
        return full;
    if (blockInvariant(kx::NUM_STREAM_BLOCKS - 1, 1).empty() ||
        blockInvariant(kx::NUM_STREAM_BLOCKS - 1).empty())
        return "";
    return full;
}

int soundsInPool() {
    return kx::SizePool(&kx::audioLib.mixer.pool);
}

// How a played (non-looping) sound must have sounded and ended, by the fault and its call.
// `ifRefused` is what is heard when the admission cannot lock the sound pool and changes nothing.
std::string judgePlay(Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status,
                      kx::SoundHandle h, const std::vector<int16_t>& stream,
                      const std::vector<int>& ifRefused = {}) {
    std::string out;
    std::vector<int> heard = heardSlices(r.m, r.first, stream);
    uint32_t state = soundState(h);
    if (!reached)
        fault = Fault::Count;
    auto expectHeard = [&](const std::vector<int>& want) {
        if (heard != want)
            out += "heard " + sliceList(heard) + ", expected " + sliceList(want) + "; ";
    };
    if (fault == Fault::SectionEnter && nth == 1) {
        // The admission could not lock the sound pool: nothing was done, and it says so.
        out += expectStatus(status, kx::SND_ERR_NOT_READY);
        expectHeard(ifRefused);
    } else if (fault == Fault::FileOpen) {
        out += expectStatus(status, kx::SND_ERR_FILE);
        expectHeard({});
        if (state != kx::SND_STOPPED || h->fd != -1 || h->block != nullptr)
            out += "a sound whose file did not open is not left stopped; ";
    } else if (fault == Fault::FileSeek && status == kx::SND_ERR_FILE) {
        // The start could not place the file at its first sample: refused, nothing heard (a
        // restart leaves the sound playing without a block, as any failed start does).
        expectHeard({});
        if (h->fd != -1 || h->block != nullptr)
            out += "a sound whose file could not be placed kept its file or block; ";
    } else if (status != kx::SND_OK) {
        out += expectStatus(status, kx::SND_OK);
    } else if (state == kx::SND_PLAYING && h->block == nullptr) {
        // No block could be taken or lent: playing but silent, as when all four are in use.
        if (fault != Fault::SectionEnter)
            out += "playing without a block; ";
        expectHeard({});
    } else if (state != kx::SND_STOPPED) {
        out += "still playing after " + std::to_string(kPlayBound) + " periods; ";
    } else if (fault == Fault::FileRead || fault == Fault::QueueWrite) {
        // The block whose read or queue write failed ends the sound: all before it is heard.
        expectHeard(firstSlices(static_cast<int>(nth) - 1));
    } else if (fault == Fault::StreamWrite) {
        // The failed write's period is lost; everything else is heard in order.
        bool ordered = heard.size() + 1 >= static_cast<size_t>(kSlices);
        for (size_t i = 0; i < heard.size(); ++i)
            ordered = ordered && heard[i] != kNoise && (i == 0 || heard[i] > heard[i - 1]);
        if (!ordered)
            out += "heard " + sliceList(heard) + " after a lost period; ";
    } else {
        expectHeard(firstSlices(sliceCount(stream.size(), kFrames)));
    }
    return out + blocksAfter(fault);
}

// A looping sound: every period heard continues the cycle 0, 1, ..., B - 1, 0, ... A lost write
// may skip one slice; a first pass whose seek failed comes from the file's start.
std::string judgeLoop(Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status,
                      kx::SoundHandle h) {
    std::string out;
    if (!reached)
        fault = Fault::Count;
    size_t from = r.first;
    std::vector<int> heard = heardSlices(r.m, from, kData);
    int skips = fault == Fault::StreamWrite ? 1 : 0;
    for (size_t i = 0, next = 0; i < heard.size(); ++i, ++next) {
        if (heard[i] != static_cast<int>(next % kSlices) && skips-- > 0)
            ++next;
        if (heard[i] != static_cast<int>(next % kSlices)) {
            out += "heard " + sliceList(heard) + " out of cycle; ";
            break;
        }
    }
    uint32_t state = soundState(h);
    if (fault == Fault::SectionEnter && nth == 1) {
        out += expectStatus(status, kx::SND_ERR_NOT_READY);
        if (!heard.empty())
            out += "sound heard after a refused play; ";
    } else if (fault == Fault::FileOpen ||
               (fault == Fault::FileSeek && status == kx::SND_ERR_FILE)) {
        out += expectStatus(status, kx::SND_ERR_FILE);
        if (!heard.empty() || state != kx::SND_STOPPED)
            out += "a sound whose file did not open or could not be placed played; ";
    } else if (fault == Fault::FileSeek && state == kx::SND_STOPPED) {
        // A rewind that failed ends the sound after the passes it completed.
        out += expectStatus(status, kx::SND_OK);
        if (heard.empty() || heard.size() % kSlices != 0)
            out += "ended after " + std::to_string(heard.size()) + " periods, not whole passes; ";
    } else if (status != kx::SND_OK) {
        out += expectStatus(status, kx::SND_OK);
    } else if (fault == Fault::FileRead || fault == Fault::QueueWrite) {
        // A read error ends even a looping sound, once its queue has drained.
        if (state == kx::SND_STOPPED && heard.size() != nth - 1)
            out += "ended after " + std::to_string(heard.size()) + " blocks, expected " +
                   std::to_string(nth - 1) + "; ";
    } else if (state != kx::SND_PLAYING) {
        out += "a looping sound stopped by itself; ";
    } else if (h->block != nullptr && heard.size() + 1 < static_cast<size_t>(kLoopPeriods) &&
               from == r.first) {
        // A failed rewind, write or lock costs one period at most.
        out += "only " + std::to_string(heard.size()) + " periods heard; ";
    }
    return out + blocksAfter(fault);
}

struct Scenario {
    const char* name;
    std::function<bool(Rig&)> setup;   // fault-free preparation; false if it went wrong
    std::function<int32_t(Rig&)> act;  // the operation, with the fault armed
    // Runs after the fault is disarmed, before shutdown: "" when status and state follow the
    // rules for this fault at this call (or, when it was not reached, for a run without faults).
    std::function<std::string(Rig&, Fault, bool, uint64_t, int32_t)> judge;
};

bool playing(Rig& r, std::initializer_list<int> which, uint32_t loop = 1) {
    for (int i : which)
        if (r.m.ops().sndPlay(r.sounds[i], 0, loop) != kx::SND_OK)
            return false;
    return true;
}

bool withSounds(Rig& r, int count) {
    if (!start(r))
        return false;
    for (int i = 0; i < count; ++i) {
        r.sounds.push_back(create(r, "s" + std::to_string(i) + ".wav", i == 4 ? kOther : kData));
        if (r.sounds.back() == nullptr)
            return false;
    }
    return true;
}

// What a single-sound pause or stop must leave: on a lock failure nothing changed and the
// caller is told; otherwise the state asked for.
std::string judgeChange(Fault fault, bool reached, uint64_t nth, int32_t status,
                        const std::vector<std::pair<kx::SoundHandle, uint32_t>>& before,
                        uint32_t after, bool all) {
    std::string out;
    bool refused = reached && fault == Fault::SectionEnter && nth == 1;
    out += expectStatus(status, refused ? kx::SND_ERR_NOT_READY : kx::SND_OK);
    for (const auto& [h, was] : before) {
        uint32_t want = refused                                                      ? was
                        : (all && after == kx::SND_PAUSED && was != kx::SND_PLAYING) ? was
                                                                                     : after;
        if (soundState(h) != want)
            out += "state " + std::to_string(soundState(h)) + ", expected " + std::to_string(want) +
                   "; ";
    }
    return out + blocksAfter(reached ? fault : Fault::Count);
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> list;

    list.push_back(
        {"sndInit",
         [](Rig& r) {
             kx::kxfsBind(1, r.dir.path().c_str());
             return true;
         },
         [](Rig& r) { return r.m.init(); },
         [](Rig&, Fault fault, bool reached, uint64_t nth, int32_t status) -> std::string {
             if (!reached)
                 return expectStatus(status, kx::SND_OK) + blockInvariant();
             if (status == kx::SND_ERR_NOT_READY)
                 return leftovers();  // a failed start-up has freed itself already
             // Passed over by the rules: a registry entry that cannot be read (only
             // the driver's own entry matters), and failures in the engine's first
             // cycle once start-up is done (the block pushes are the last section
             // entries of start-up; a failed first write loses one period).
             bool engine = fault == Fault::StreamWrite ||
                           (fault == Fault::SectionEnter && nth > kx::NUM_STREAM_BLOCKS);
             if (status == kx::SND_OK && (fault == Fault::RegQuery || engine))
                 return blockInvariant();
             return expectStatus(status, kx::SND_ERR_NOT_READY);
         }});

    list.push_back({"sndFree",
                    [](Rig& r) {
                        if (!withSounds(r, 2) || !playing(r, {0}))
                            return false;
                        r.m.step(2);
                        return true;
                    },
                    [](Rig& r) {
                        shutDown(r);
                        return 0;
                    },
                    [](Rig&, Fault, bool, uint64_t, int32_t) -> std::string { return ""; }});

    list.push_back({"sndVolume", [](Rig& r) { return start(r); },
                    [](Rig& r) { return r.m.ops().sndVolume(50); },
                    [](Rig&, Fault fault, bool reached, uint64_t, int32_t status) -> std::string {
                        // The driver's result comes back unchanged, and a refused volume changes
                        // nothing.
                        bool failed = reached && fault == Fault::Volume;
                        std::string out =
                            expectStatus(status, failed ? kx::DM_ERR_FAULT : kx::SND_OK);
                        if (kx::hdaStats().volume != (failed ? 100u : 50u))
                            out += "volume " + std::to_string(kx::hdaStats().volume) + "; ";
                        return out;
                    }});

    list.push_back(
        {"sndMute", [](Rig& r) { return start(r); }, [](Rig& r) { return r.m.ops().sndMute(1); },
         [](Rig&, Fault fault, bool reached, uint64_t, int32_t status) -> std::string {
             bool failed = reached && fault == Fault::Mute;
             std::string out = expectStatus(status, failed ? kx::DM_ERR_FAULT : kx::SND_OK);
             if (kx::hdaStats().mute != (failed ? 0u : 1u))
                 out += "mute " + std::to_string(kx::hdaStats().mute) + "; ";
             return out;
         }});

    list.push_back(
        {"sndCreate",
         [](Rig& r) {
             r.dir.write("a.wav", canonicalWav(kData));
             return start(r);
         },
         [](Rig& r) {
             kx::SoundHandle h = nullptr;
             int32_t status = r.m.ops().sndCreate(1, "a.wav", &h);
             r.sounds.push_back(h);
             return status;
         },
         [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) -> std::string {
             const Bytes file = canonicalWav(kData);
             int32_t want = kx::SND_OK;
             uint32_t wantLength = static_cast<uint32_t>(kData.size() * 2);
             if (reached) {
                 switch (fault) {
                     case Fault::Alloc:
                         want = kx::SND_ERR_NO_MEMORY;
                         break;
                     case Fault::SectionEnter:
                         // A lookup that cannot lock counts as not found; the insertion's own
                         // lock failing refuses the sound.
                         want = nth == 1 ? kx::SND_OK : kx::SND_ERR_NO_MEMORY;
                         break;
                     case Fault::FileOpen:
                         // The first open checks that the file opens; the second is the parse's.
                         want = nth == 1 ? kx::SND_ERR_FILE : kx::SND_ERR_FORMAT;
                         break;
                     case Fault::FileSeek:
                         break;  // the seek to position 0 is not examined
                     case Fault::FileRead: {
                         // The header is read a byte per call from position 0; the failed call
                         // reads as a 0 byte and leaves the position where it was, so the
                         // parser sees a 0 inserted before byte nth - 1.
                         Bytes changed = file;
                         changed.insert(
                             changed.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min<uint64_t>(nth - 1, changed.size())),
                             uint8_t{0});
                         std::string path = r.dir.write("changed.wav", changed);
                         kx::WavFormat format{};
                         uint32_t offset = 0;
                         bool ok =
                             kx::parseWavFmt(path.c_str(), &format, &offset, &wantLength) == 0 &&
                             format.channels == 2 && format.sampleRate == 44100 &&
                             format.bitsPerSample == 16;
                         want = ok ? kx::SND_OK : kx::SND_ERR_FORMAT;
                         break;
                     }
                     default:
                         return std::string("fault ") + kx::faultName(fault) + " reached; ";
                 }
             }
             std::string out = expectStatus(status, want);
             kx::SoundHandle h = r.sounds.empty() ? nullptr : r.sounds[0];
             if (kx::kxOpenFiles() != 0)
                 out += "a file left open; ";
             if (status == kx::SND_OK) {
                 if (h == nullptr || soundsInPool() != 1 || soundState(h) != kx::SND_STOPPED ||
                     h->fd != -1 || h->dataOffset != 44 || h->dataLength != wantLength)
                     out += "the new sound is not a stopped record of the file; ";
             } else if (h != nullptr || soundsInPool() != 0) {
                 out += "a refused sound was kept; ";
             }
             return out;
         }});

    list.push_back(
        {"sndDelete",
         [](Rig& r) {
             if (!withSounds(r, 1) || !playing(r, {0}))
                 return false;
             r.m.step();
             return true;
         },
         [](Rig& r) { return r.m.ops().sndDelete(r.sounds[0]); },
         [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) -> std::string {
             bool refused = reached && fault == Fault::SectionEnter && nth == 1;
             std::string out = expectStatus(status, refused ? kx::SND_ERR_PARAM : kx::SND_OK);
             if (refused) {
                 if (soundsInPool() != 1 || soundState(r.sounds[0]) != kx::SND_PLAYING)
                     out += "a refused delete changed the sound; ";
             } else if (soundsInPool() != 0 || kx::kxOpenFiles() != 0) {
                 out += "the deleted sound or its file is left; ";
             }
             return out + blocksAfter(reached ? fault : Fault::Count);
         }});

    list.push_back({"sndPlay to the end", [](Rig& r) { return withSounds(r, 1); },
                    [](Rig& r) { return playToEnd(r, r.sounds[0], 0); },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgePlay(r, fault, reached, nth, status, r.sounds[0], kData);
                    }});

    list.push_back(
        {"sndPlay restart",
         [](Rig& r) {
             if (!withSounds(r, 1) || !playing(r, {0}, 0))
                 return false;
             r.m.step(2);
             return true;
         },
         [](Rig& r) { return playToEnd(r, r.sounds[0], 0); },
         [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
             // A failed rewind reopens the file at its first sample byte. A refused
             // restart leaves the sound playing on to its end.
             return judgePlay(r, fault, reached, nth, status, r.sounds[0], kData, {2, 3});
         }});

    list.push_back(
        {"sndPlay exclusive over four",
         [](Rig& r) {
             if (!withSounds(r, 5) || !playing(r, {0, 1, 2, 3}))
                 return false;
             r.m.step();
             return true;
         },
         [](Rig& r) { return playToEnd(r, r.sounds[4], 1); },
         [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) -> std::string {
             if (reached && fault == Fault::SectionEnter && nth == 1) {
                 std::string out = expectStatus(status, kx::SND_ERR_NOT_READY);
                 for (int i = 0; i < 4; ++i)
                     if (soundState(r.sounds[i]) != kx::SND_PLAYING)
                         out += "a refused exclusive play stopped a sound; ";
                 return out + blockInvariant();
             }
             std::string out;
             for (int i = 0; i < 4; ++i)
                 if (soundState(r.sounds[i]) != kx::SND_STOPPED)
                     out += "an exclusive play left another sound playing; ";
             return out + judgePlay(r, fault, reached, nth, status, r.sounds[4], kOther);
         }});

    list.push_back({"sndPlay looping", [](Rig& r) { return withSounds(r, 1); },
                    [](Rig& r) {
                        r.first = r.m.periods();
                        int32_t status = r.m.ops().sndPlay(r.sounds[0], 0, 1);
                        r.m.step(kLoopPeriods);
                        return status;
                    },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgeLoop(r, fault, reached, nth, status, r.sounds[0]);
                    }});

    list.push_back({"sndPause one",
                    [](Rig& r) {
                        if (!withSounds(r, 1) || !playing(r, {0}))
                            return false;
                        r.m.step();
                        return true;
                    },
                    [](Rig& r) { return r.m.ops().sndPause(r.sounds[0]); },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgeChange(fault, reached, nth, status,
                                           {{r.sounds[0], kx::SND_PLAYING}}, kx::SND_PAUSED, false);
                    }});

    list.push_back({"sndPause all",
                    [](Rig& r) {
                        if (!withSounds(r, 3) || !playing(r, {0, 1}))
                            return false;
                        r.m.step();
                        return true;
                    },
                    [](Rig& r) { return r.m.ops().sndPause(nullptr); },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgeChange(fault, reached, nth, status,
                                           {{r.sounds[0], kx::SND_PLAYING},
                                            {r.sounds[1], kx::SND_PLAYING},
                                            {r.sounds[2], kx::SND_STOPPED}},
                                           kx::SND_PAUSED, true);
                    }});

    list.push_back({"sndStop one",
                    [](Rig& r) {
                        if (!withSounds(r, 1) || !playing(r, {0}))
                            return false;
                        r.m.step();
                        return true;
                    },
                    [](Rig& r) { return r.m.ops().sndStop(r.sounds[0]); },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgeChange(fault, reached, nth, status,
                                           {{r.sounds[0], kx::SND_PLAYING}}, kx::SND_STOPPED,
                                           false);
                    }});

    list.push_back({"sndStop all",
                    [](Rig& r) {
                        if (!withSounds(r, 2) || !playing(r, {0, 1}))
                            return false;
                        r.m.step();
                        return r.m.ops().sndPause(r.sounds[1]) == kx::SND_OK;
                    },
                    [](Rig& r) { return r.m.ops().sndStop(nullptr); },
                    [](Rig& r, Fault fault, bool reached, uint64_t nth, int32_t status) {
                        return judgeChange(
                            fault, reached, nth, status,
                            {{r.sounds[0], kx::SND_PLAYING}, {r.sounds[1], kx::SND_PAUSED}},
                            kx::SND_STOPPED, true);
                    }});
    return list;
}

// After a run: the library starts again, a sound plays through exactly, and shutdown leaves
// nothing.
std::string normalRun(Rig& r) {
    kx::kxfsBind(1, r.dir.path().c_str());
    int32_t status = r.m.init();
    if (status != kx::SND_OK)
        return "the next start-up gave " + statusText(status) + "; ";
    kx::SoundHandle h = create(r, "next.wav", kData);
    if (h == nullptr) {
        shutDown(r);
        return "the next run could not create a sound; ";
    }
    playToEnd(r, h, 0);
    std::vector<int> heard = heardSlices(r.m, r.first, kData);
    std::string out;
    if (heard != firstSlices(kSlices))
        out += "the next run heard " + sliceList(heard) + "; ";
    out += blockInvariant();
    shutDown(r);
    return out + leftovers();
}

Outcome runOnce(const Scenario& sc, Fault fault, uint64_t nth) {
    Outcome o;
    Rig r;
    kx::RtkSetSleepScale(kSleepPercent);
    if (!sc.setup(r)) {
        o.problems = "the preparation failed; ";
        return o;
    }
    kx::faultArm(fault, nth);
    int32_t status = sc.act(r);
    o.reached = kx::faultReached(fault);
    kx::faultClearAll();
    o.problems = sc.judge(r, fault, o.reached, nth, status);
    if (kx::audioLib.device != 0)
        shutDown(r);
    std::string left = leftovers();
    if (!left.empty())
        o.problems += "after shutdown: " + left;
    if (o.reached && left.empty())
        o.problems += normalRun(r);
    return o;
}

void PrintTo(const Scenario& sc, std::ostream* os) {
    *os << sc.name;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {
  protected:
    void TearDown() override { kx::RtkSetSleepScale(100); }
};

TEST_P(FaultSweep, EveryCallOfEveryServiceFailsInTurn) {
    const Scenario& sc = GetParam();
    std::string counts;
    int total = 0;
    for (int f = 0; f < kx::kFaultCount; ++f) {
        Fault fault = static_cast<Fault>(f);
        SCOPED_TRACE(kx::faultName(fault));
        int points = 0;
        uint64_t nth = 1;
        for (; nth <= kMaxCalls; ++nth) {
            Outcome o = runOnce(sc, fault, nth);
            EXPECT_EQ(o.problems, "") << "call " << nth;
            if (!o.reached)
                break;
            ++points;
        }
        EXPECT_LE(nth, kMaxCalls) << "the sweep did not end";
        if (points > 0)
            counts += std::string(" ") + kx::faultName(fault) + "=" + std::to_string(points);
        total += points;
    }
    EXPECT_GT(total, 0) << "no fault point reached";
    std::printf("[  SWEEP   ] %s: %d injection points:%s\n", sc.name, total, counts.c_str());
    RecordProperty("injection_points", total);
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) {
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::ValuesIn(scenarios()), scenarioName);

}  // namespace
}  // namespace kxtest
