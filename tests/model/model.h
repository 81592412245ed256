// SPDX-License-Identifier: Apache-2.0
// A reference model of kxaudio as seen from outside: given the bytes of the WAV files bound to
// location 1 and the calls made between periods, it predicts each call's status and every sample
// of every period the driver records under the stepped clock. Written from the module's rules
// alone; it shares no code with the engine, the WAV reader or the mix. Single-threaded, no locks.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace kxmodel {

using Bytes = std::vector<uint8_t>;
using Period = std::vector<int16_t>;  // interleaved stereo samples of one period, after gain

// What a play, pause or stop names: no sound, a sound by its model id, or a pointer that names
// no sound in the pool (a stale handle whose record is gone, or any other non-null pointer).
struct Target {
    enum Kind : uint8_t { None, Sound, Unknown };
    Kind kind = None;
    int id = -1;  // for Sound
    static Target none() { return {None, -1}; }
    static Target sound(int id) { return {Sound, id}; }
    static Target unknown() { return {Unknown, -1}; }
};

// The header facts the module's WAV reader extracts, with the RIFF pad byte after an odd-sized
// chunk body honoured.
struct WavHeader {
    bool ok = false;  // a "data" chunk was found and the format tag is 1 (PCM)
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bits = 0;
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
};
WavHeader parseWav(const Bytes& file);

// The result of a create: the status and the sound the handle out names afterwards (the new one
// on success, the existing one for SND_ERR_EXISTS, -1 when the handle out is left none).
struct CreateResult {
    int32_t status;
    int id;
};

// Sound states as the module names them.
enum class State : uint8_t { Stopped = 0, Playing = 1, Paused = 2 };

class Model {
  public:
    // files: name -> bytes of every file present at location 1 (names not in the map are missing
    // files). The library is taken as started: period 0, silence, is already recorded.
    Model(uint32_t frames, std::map<std::string, Bytes> files);

    CreateResult create(const std::string& name);
    int32_t remove(int id);  // _sndDelete of a live sound
    int32_t play(Target target, uint32_t exclusive, uint32_t loop);
    int32_t pause(Target target);
    int32_t stop(Target target);
    int32_t volume(uint32_t volume);
    int32_t mute(uint32_t flag);
    // Produces the next period and returns it (after gain).
    const Period& step();

    const std::vector<Period>& periods() const { return periods_; }
    // One line per period: which sounds were mixed, from which data byte, and what ended.
    const std::vector<std::string>& notes() const { return notes_; }
    uint32_t periodBytes() const { return periodBytes_; }

    // Observations for tests and generators.
    bool alive(int id) const;
    State state(int id) const;  // Stopped for a sound that is not alive
    bool hasBlock(int id) const;
    int playing() const;  // sounds in state Playing
    int freeBlocks() const;
    std::vector<int> live() const;  // live sound ids in pool (creation) order

  private:
    struct Block {
        std::deque<Bytes> queue;  // whole periods, oldest first; at most four
        bool reading = false;     // the loader still has data to put into this block
        uint32_t remaining = 0;   // data bytes left in the current pass
        uint32_t position = 0;    // data bytes already read in the current pass
    };
    struct Sound {
        int id;
        std::string name;
        Bytes data;       // the sample bytes a read can reach: the declared data the file holds
        uint32_t length;  // the declared data length, up to 4 GiB
        uint32_t flags = 0;
        State state = State::Stopped;
        int block = -1;  // index into blocks_, or -1
    };

    Sound* find(const Target& target);
    void setState(Sound& s, State state);
    void startFromBeginning(Sound& s);
    void detach(Sound& s);
    void load();  // the loader's read-ahead: every attached queue topped up
    void loadBlock(Sound& s, Block& b);
    void mixInto(Period& out, const Bytes& source, bool first) const;

    uint32_t periodBytes_;
    std::map<std::string, Bytes> files_;
    std::vector<Sound> sounds_;  // pool order
    int nextId_ = 0;
    Block blocks_[4];
    std::deque<int> freeBlocks_;  // the block pool, first in first out
    std::vector<int> loadOrder_;  // the load pool, in attachment order
    uint32_t volume_ = 100;
    uint32_t mute_ = 0;
    std::vector<Period> periods_;
    std::vector<std::string> notes_;
};

// Display name of a status ("OK", "SND_ERR_PARAM", or the number).
std::string statusName(int32_t status);

}  // namespace kxmodel
