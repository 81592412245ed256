// SPDX-License-Identifier: Apache-2.0
// The reference model's rules: WAV header reading, admission, sound states, the four stream
// blocks, the loader's read-ahead under the stepped clock, the mix in creation order and the
// driver's gain. Single-threaded: each call and each period is applied whole, in order.
#include "tests/model/model.h"

#include <algorithm>
#include <sstream>

namespace kxmodel {

namespace {

constexpr int32_t kOk = 0;
constexpr int32_t kErrParam = -30485;
constexpr int32_t kErrFile = -30484;
constexpr int32_t kErrExists = -30483;
constexpr int32_t kErrFormat = -30482;
constexpr int32_t kErrTooMany = -30480;
constexpr int32_t kErrExclusive = -30479;
constexpr int32_t kErrRange = -30478;

constexpr uint32_t kPlay = 1;
constexpr uint32_t kLoop = 2;
constexpr uint32_t kExclusive = 4;

constexpr size_t kQueuePeriods = 4;  // a block's queue holds four periods
constexpr int kBlocks = 4;           // stream blocks built at start-up
constexpr int kMaxChunks = 20;       // chunk headers read behind "WAVE" before the parse fails

// Reads a file the way the module's reader does: byte by byte, a byte past the end counting 0,
// and seeks past the end allowed (they only leave every later byte 0).
struct Cursor {
    const Bytes& file;
    uint64_t pos = 0;
    uint32_t byte() {
        uint32_t v = pos < file.size() ? file[pos] : 0;
        ++pos;
        return v;
    }
    uint32_t le16() {
        uint32_t b0 = byte();
        return b0 | byte() << 8;
    }
    uint32_t le32() {
        uint32_t v = le16();
        return v | le16() << 16;
    }
    uint32_t be32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | byte();
        return v;
    }
};

constexpr uint32_t fourcc(const char (&id)[5]) {
    return uint32_t(uint8_t(id[0])) << 24 | uint32_t(uint8_t(id[1])) << 16 |
           uint32_t(uint8_t(id[2])) << 8 | uint32_t(uint8_t(id[3]));
}

int16_t clamp16(int32_t v) {
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}

}  // namespace

WavHeader parseWav(const Bytes& file) {
    WavHeader h;
    Cursor c{file};
    if (c.be32() != fourcc("RIFF"))
        return h;
    c.le32();  // the RIFF size is not used
    if (c.be32() != fourcc("WAVE"))
        return h;
    uint64_t offset = 12;
    for (int count = 0; count < kMaxChunks; ++count) {
        uint32_t id = c.be32();
        int32_t size = static_cast<int32_t>(c.le32());
        offset += 8;
        if (id == fourcc("data")) {
            h.dataOffset = static_cast<uint32_t>(offset);
            h.dataLength = static_cast<uint32_t>(size);
            h.ok = h.formatTag == 1;
            return h;
        }
        int64_t skip = 0;
        if (id == fourcc("fmt ")) {
            if (size <= 15)
                return h;
            h.formatTag = static_cast<uint16_t>(c.le16());
            h.channels = static_cast<uint16_t>(c.le16());
            h.sampleRate = c.le32();
            c.le32();  // byte rate and block align are not compared
            c.le16();
            h.bits = static_cast<uint16_t>(c.le16());
            offset += 16;
            skip = int64_t(size) - 16;
        } else if (size > 0) {
            skip = size;
        }
        // An odd-sized body is followed by one pad byte, which the reader passes over too.
        if (size > 0 && (size & 1))
            ++skip;
        c.pos += static_cast<uint64_t>(skip);
        offset += static_cast<uint64_t>(skip);
    }
    return h;
}

std::string statusName(int32_t status) {
    switch (status) {
        case 0:
            return "OK";
        case -30486:
            return "SND_ERR_NOT_READY";
        case kErrParam:
            return "SND_ERR_PARAM";
        case kErrFile:
            return "SND_ERR_FILE";
        case kErrExists:
            return "SND_ERR_EXISTS";
        case kErrFormat:
            return "SND_ERR_FORMAT";
        case -30481:
            return "SND_ERR_NO_MEMORY";
        case kErrTooMany:
            return "SND_ERR_TOO_MANY";
        case kErrExclusive:
            return "SND_ERR_EXCLUSIVE";
        case kErrRange:
            return "SND_ERR_RANGE";
        default:
            return std::to_string(status);
    }
}

Model::Model(uint32_t frames, std::map<std::string, Bytes> files)
    : periodBytes_(frames * 4), files_(std::move(files)) {
    for (int i = 0; i < kBlocks; ++i)
        freeBlocks_.push_back(i);
    // Period 0 is mixed as soon as the library starts, before any sound exists.
    periods_.emplace_back(periodBytes_ / 2, 0);
    notes_.emplace_back("");
}

CreateResult Model::create(const std::string& name) {
    // A sound is known by its path; the name is appended to the location's path unchanged, so
    // two different names are two sounds even when they reach the same file.
    for (const Sound& s : sounds_) {
        if (s.name == name)
            return {kErrExists, s.id};
    }
    auto file = files_.find(name);
    if (file == files_.end())
        return {kErrFile, -1};
    WavHeader h = parseWav(file->second);
    if (!h.ok || h.channels != 2 || h.sampleRate != 44100 || h.bits != 16) {
        return {kErrFormat, -1};
    }
    Sound s{nextId_++, name, {}, h.dataLength};
    const Bytes& bytes = file->second;
    if (h.dataOffset < bytes.size()) {
        size_t n = std::min<size_t>(h.dataLength, bytes.size() - h.dataOffset);
        s.data.assign(bytes.begin() + h.dataOffset, bytes.begin() + h.dataOffset + n);
    }
    sounds_.push_back(std::move(s));
    return {kOk, sounds_.back().id};
}

int32_t Model::remove(int id) {
    for (auto it = sounds_.begin(); it != sounds_.end(); ++it) {
        if (it->id != id)
            continue;
        detach(*it);
        sounds_.erase(it);
        return kOk;
    }
    return kErrParam;
}

Model::Sound* Model::find(const Target& target) {
    if (target.kind != Target::Sound)
        return nullptr;
    for (Sound& s : sounds_) {
        if (s.id == target.id)
            return &s;
    }
    return nullptr;
}

int32_t Model::play(Target target, uint32_t exclusive, uint32_t loop) {
    uint32_t flags = kPlay;
    if (exclusive & 0xFF)
        flags |= kExclusive;
    if (loop & 0xFF)
        flags |= kLoop;
    if (sounds_.empty())
        return kErrParam;
    Sound* s = find(target);
    int n = playing();
    bool e = false;
    if (!(flags & kExclusive)) {
        for (const Sound& o : sounds_)
            e = e || (o.state == State::Playing && (o.flags & kExclusive));
    }
    if (s == nullptr)
        return kErrParam;
    if (n == 1 && s->state == State::Playing) {
        // The sole playing sound may always restart.
    } else if (flags & kExclusive) {
        for (Sound& o : sounds_) {
            if (o.state == State::Playing)
                setState(o, State::Stopped);
        }
    } else if (e) {
        return kErrExclusive;
    } else if (n > 3) {
        return kErrTooMany;
    }
    s->flags = flags;
    setState(*s, State::Playing);
    load();
    return kOk;
}

int32_t Model::pause(Target target) {
    if (target.kind == Target::None) {
        for (Sound& s : sounds_) {
            if (s.state == State::Playing)
                setState(s, State::Paused);
        }
        return kOk;
    }
    Sound* s = find(target);
    if (s == nullptr)
        return kErrParam;
    setState(*s, State::Paused);
    return kOk;
}

int32_t Model::stop(Target target) {
    if (target.kind == Target::None) {
        for (Sound& s : sounds_) {
            if (s.state != State::Stopped)
                setState(s, State::Stopped);
        }
        return kOk;
    }
    Sound* s = find(target);
    if (s == nullptr)
        return kErrParam;
    setState(*s, State::Stopped);
    return kOk;
}

int32_t Model::volume(uint32_t volume) {
    uint32_t v = volume & 0xFF;
    if (v > 100)
        return kErrRange;
    volume_ = v;
    return kOk;
}

int32_t Model::mute(uint32_t flag) {
    mute_ = flag & 0xFF;
    return kOk;
}

void Model::setState(Sound& s, State state) {
    switch (state) {
        case State::Stopped:
            s.flags = 0;
            detach(s);
            s.state = State::Stopped;
            break;
        case State::Paused:
            // A pause keeps block, queue and file as they stand; a stopped sound stays stopped.
            if (s.state != State::Stopped)
                s.state = State::Paused;
            break;
        case State::Playing:
            if (s.state == State::Paused) {
                s.state = State::Playing;  // resumes where the queue stands
            } else {
                startFromBeginning(s);
            }
            break;
    }
}

void Model::startFromBeginning(Sound& s) {
    detach(s);
    if (!freeBlocks_.empty()) {
        // Without a free block the sound is playing but silent, and it still counts.
        int index = freeBlocks_.front();
        freeBlocks_.pop_front();
        Block& b = blocks_[index];
        b = Block{};
        b.reading = true;
        b.remaining = s.length;
        s.block = index;
        loadOrder_.push_back(index);
    }
    s.state = State::Playing;
}

void Model::detach(Sound& s) {
    if (s.block < 0)
        return;
    blocks_[s.block] = Block{};
    loadOrder_.erase(std::find(loadOrder_.begin(), loadOrder_.end(), s.block));
    freeBlocks_.push_back(s.block);
    s.block = -1;
}

void Model::load() {
    for (Sound& s : sounds_) {
        if (s.block >= 0)
            loadBlock(s, blocks_[s.block]);
    }
}

// Tops one queue up to four periods or to the end of the data. The end-of-data decision (rewind
// or stop reading) is taken with the sound's flags as they are now.
void Model::loadBlock(Sound& s, Block& b) {
    while (b.reading && b.queue.size() < kQueuePeriods) {
        if (b.remaining == 0) {
            b.reading = false;  // nothing to read: no block is queued at all
            break;
        }
        uint32_t ask = std::min(periodBytes_, b.remaining);
        uint32_t available = static_cast<uint32_t>(s.data.size()) - b.position;
        uint32_t n = std::min(ask, available);
        Bytes block(periodBytes_, 0);  // the rest of a short block is silence
        std::copy_n(s.data.begin() + b.position, n, block.begin());
        b.queue.push_back(std::move(block));
        b.remaining -= n;
        b.position += n;
        if (n == periodBytes_ && b.remaining > 0)
            continue;
        if (s.flags & kLoop) {
            b.position = 0;
            b.remaining = s.length;
        } else {
            b.reading = false;
        }
    }
}

void Model::mixInto(Period& out, const Bytes& source, bool first) const {
    // The first playing sound is copied whole; later ones are added with saturation, sample by
    // sample, over every whole sample of the period.
    for (size_t k = 0; k < periodBytes_ / 2; ++k) {
        int16_t v = static_cast<int16_t>(source[2 * k] | source[2 * k + 1] << 8);
        out[k] = first ? v : clamp16(out[k] + v);
    }
}

const Period& Model::step() {
    Period out(periodBytes_ / 2, 0);
    std::ostringstream note;
    bool first = true;
    for (Sound& s : sounds_) {
        if (s.state != State::Playing)
            continue;
        if (s.block < 0) {
            note << " #" << s.id << "(no block)";
            continue;
        }
        Block& b = blocks_[s.block];
        note << " #" << s.id;
        Bytes source(periodBytes_, 0);  // an empty queue reads as silence
        if (!b.queue.empty()) {
            source = std::move(b.queue.front());
            b.queue.pop_front();
        } else {
            note << "(empty)";
        }
        mixInto(out, source, first);
        first = false;
        if (!b.reading && b.queue.empty()) {
            note << "(ends)";
            setState(s, State::Stopped);
        }
    }
    load();
    for (int16_t& v : out) {
        v = mute_ ? 0 : static_cast<int16_t>(int32_t(v) * int32_t(volume_) / 100);
    }
    if (mute_)
        note << " muted";
    if (volume_ != 100)
        note << " volume " << volume_;
    periods_.push_back(std::move(out));
    notes_.push_back(note.str());
    return periods_.back();
}

bool Model::alive(int id) const {
    return std::any_of(sounds_.begin(), sounds_.end(), [id](const Sound& s) { return s.id == id; });
}

State Model::state(int id) const {
    for (const Sound& s : sounds_) {
        if (s.id == id)
            return s.state;
    }
    return State::Stopped;
}

bool Model::hasBlock(int id) const {
    for (const Sound& s : sounds_) {
        if (s.id == id)
            return s.block >= 0;
    }
    return false;
}

int Model::playing() const {
    return static_cast<int>(std::count_if(
        sounds_.begin(), sounds_.end(), [](const Sound& s) { return s.state == State::Playing; }));
}

int Model::freeBlocks() const {
    return static_cast<int>(freeBlocks_.size());
}

std::vector<int> Model::live() const {
    std::vector<int> ids;
    for (const Sound& s : sounds_)
        ids.push_back(s.id);
    return ids;
}

}  // namespace kxmodel
