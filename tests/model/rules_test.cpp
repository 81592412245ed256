// SPDX-License-Identifier: Apache-2.0
// Hand-written scenarios with the statuses and period bytes worked out by hand from the module's
// rules. Each one is checked twice: the reference model must produce exactly these bytes (so the
// randomised comparison rests on a model that is right where it matters), and so must the module.
#include <gtest/gtest.h>

#include "tests/model/scenario.h"
#include "tests/support/wavgen.h"

namespace kxmodel {
namespace {

constexpr int32_t OK = 0;
constexpr int32_t PARAM = -30485;
constexpr int32_t FILE_ERR = -30484;
constexpr int32_t EXISTS = -30483;
constexpr int32_t FORMAT = -30482;
constexpr int32_t TOO_MANY = -30480;
constexpr int32_t EXCLUSIVE = -30479;
constexpr int32_t RANGE = -30478;

struct Call {
    Action action;
    int32_t status;
};

struct Case {
    const char* name;
    uint32_t frames;
    std::map<std::string, Bytes> files;
    std::vector<Call> calls;
    std::vector<Period> periods;  // every period from period 0
};

Call create(const std::string& name, int32_t status = OK) {
    return {{Op::Create, name}, status};
}
Call play(int id, uint32_t exclusive, uint32_t loop, int32_t status = OK) {
    return {{Op::Play, "", id, Who::Sound, exclusive, loop}, status};
}
Call pause(int id, int32_t status = OK) {
    return {{Op::Pause, "", id, Who::Sound}, status};
}
Call stop(int id, int32_t status = OK) {
    return {{Op::Stop, "", id, Who::Sound}, status};
}
Call pauseAll() {
    return {{Op::Pause, "", -1, Who::None}, OK};
}
Call stopAll() {
    return {{Op::Stop, "", -1, Who::None}, OK};
}
Call remove(int id) {
    return {{Op::Delete, "", id}, OK};
}
Call volume(uint32_t v, int32_t status = OK) {
    return {{Op::Volume, "", -1, Who::None, v}, status};
}
Call mute(uint32_t v) {
    return {{Op::Mute, "", -1, Who::None, v}, OK};
}
Call step(uint32_t n = 1) {
    return {{Op::Step, "", -1, Who::None, n}, OK};
}
Call withWho(Call c, Who who) {
    c.action.who = who;
    return c;
}

// A canonical file of `frames` frames whose every sample is value.
Bytes flatWav(uint32_t frames, int16_t value) {
    return kxtest::canonicalWav(kxtest::constantSamples(frames, value));
}

Period flat(uint32_t frames, int16_t value) {
    return Period(frames * 2, value);
}

// frames of the period are value, the rest silence.
Period partial(uint32_t frames, uint32_t filled, int16_t value) {
    Period p(frames * 2, 0);
    std::fill_n(p.begin(), filled * 2, value);
    return p;
}

// One period of samples taken from `from` on, silence past the end.
Period segment(const std::vector<int16_t>& samples, uint32_t frames, size_t from) {
    Period p(frames * 2, 0);
    for (size_t k = 0; k < p.size() && from + k < samples.size(); ++k)
        p[k] = samples[from + k];
    return p;
}

Case playsOnceAndEnds() {
    constexpr uint32_t F = 16;
    std::vector<int16_t> s = kxtest::rampSamples(F * 5 / 2, 100, 3);  // two and a half periods
    return {"a non-looping sound plays its data once, its last block padded, and ends",
            F,
            {{"a.wav", kxtest::canonicalWav(s)}},
            {create("a.wav"), play(0, 0, 0), step(4), play(0, 0, 0), step(1)},
            {flat(F, 0), segment(s, F, 0), segment(s, F, 32), segment(s, F, 64), flat(F, 0),
             segment(s, F, 0)}};
}

Case loopsJoin() {
    constexpr uint32_t F = 16;
    std::vector<int16_t> whole = kxtest::rampSamples(F * 2, 1, 1);
    std::vector<int16_t> half = kxtest::rampSamples(F * 3 / 2, 5000, 7);
    return {"a loop of whole periods joins without a gap; any other loop ends each pass padded",
            F,
            {{"whole.wav", kxtest::canonicalWav(whole)}, {"half.wav", kxtest::canonicalWav(half)}},
            {create("whole.wav"), play(0, 0, 1), step(5), stop(0), create("half.wav"),
             play(1, 0, 0x101), step(4)},
            {flat(F, 0), segment(whole, F, 0), segment(whole, F, 32), segment(whole, F, 0),
             segment(whole, F, 32), segment(whole, F, 0), segment(half, F, 0), segment(half, F, 32),
             segment(half, F, 0), segment(half, F, 32)}};
}

Case resumeTakesNewFlags() {
    constexpr uint32_t F = 16;
    std::vector<int16_t> six = kxtest::rampSamples(F * 6, 1, 1);
    std::vector<int16_t> four = kxtest::rampSamples(F * 4, 9000, 1);
    std::vector<int16_t> five = kxtest::rampSamples(F * 5, -9000, 1);
    // The read-ahead is four periods. "six": four periods are queued at the play and a fifth
    // after period 1, so the end of the data is met after the resume and the new loop flag
    // holds. "four": read to its end at the play, so a loop given at the resume comes too late.
    // "five": one period short of its end at the play, so the loop holds.
    return {"a resume keeps the queue and uses the new flags for what is not yet read",
            F,
            {{"six.wav", kxtest::canonicalWav(six)},
             {"four.wav", kxtest::canonicalWav(four)},
             {"five.wav", kxtest::canonicalWav(five)}},
            {create("six.wav"), play(0, 0, 0), step(1), pause(0), step(1), play(0, 0, 1), step(6),
             stop(0), create("four.wav"), play(1, 0, 0), pause(1), play(1, 0, 1), step(5),
             create("five.wav"), play(2, 0, 0), pause(2), play(2, 0, 1), step(6)},
            {flat(F, 0),
             segment(six, F, 0),
             flat(F, 0),
             segment(six, F, 32),
             segment(six, F, 64),
             segment(six, F, 96),
             segment(six, F, 128),
             segment(six, F, 160),
             segment(six, F, 0),
             segment(four, F, 0),
             segment(four, F, 32),
             segment(four, F, 64),
             segment(four, F, 96),
             flat(F, 0),
             segment(five, F, 0),
             segment(five, F, 32),
             segment(five, F, 64),
             segment(five, F, 96),
             segment(five, F, 128),
             segment(five, F, 0)}};
}

Case sumsInCreationOrder() {
    constexpr uint32_t F = 16;
    // Created +30000, +30000, -30000: the first two clip at 32767 before the third is added,
    // whatever order they were played in.
    return {"sounds are summed with saturation in creation order, not play order",
            F,
            {{"x.wav", flatWav(F, 30000)},
             {"y.wav", flatWav(F, 30000)},
             {"z.wav", flatWav(F, -30000)},
             {"n.wav", flatWav(F, -20000)}},
            {create("x.wav"), create("y.wav"), create("z.wav"), play(2, 0, 0), play(1, 0, 0),
             play(0, 0, 0), step(1), create("n.wav"), play(2, 0, 0), play(3, 0, 0), step(1)},
            {flat(F, 0), flat(F, 32767 - 30000), flat(F, -32768)}};
}

Case oddPeriodMixesEverySample() {
    constexpr uint32_t F = 17;  // 68 bytes: the last frame is outside every 8-byte group
    return {"with an odd frame count the last frame is mixed like every other",
            F,
            {{"a.wav", flatWav(F, 1000)}, {"b.wav", flatWav(F, 2000)}},
            {create("a.wav"), create("b.wav"), play(0, 0, 0), play(1, 0, 0), step(2)},
            {flat(F, 0), flat(F, 3000), flat(F, 0)}};
}

// Sounds of constant values 1, 2, 4, ... looping: each period's value is the set that plays.
std::map<std::string, Bytes> bitSounds(uint32_t frames, int count) {
    std::map<std::string, Bytes> files;
    for (int i = 0; i < count; ++i)
        files[std::string(1, char('a' + i)) + ".wav"] = flatWav(frames, 1 << i);
    return files;
}
std::vector<Call> createBits(int count) {
    std::vector<Call> calls;
    for (int i = 0; i < count; ++i)
        calls.push_back(create(std::string(1, char('a' + i)) + ".wav"));
    return calls;
}
std::vector<Call> operator+(std::vector<Call> a, const std::vector<Call>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Case admission() {
    constexpr uint32_t F = 8;
    return {"four play at most, an exclusive sound plays alone, paused sounds wait",
            F,
            bitSounds(F, 6),
            createBits(6) + std::vector<Call>{play(0, 0, 1),
                                              play(1, 0, 1),
                                              play(2, 0, 1),
                                              play(3, 0, 1),
                                              step(),  // 15
                                              play(4, 0, 1, TOO_MANY),
                                              play(0, 0, 1, TOO_MANY),
                                              step(),  // 15
                                              play(5, 1, 1),
                                              step(),  // 32 alone
                                              play(0, 0, 1, EXCLUSIVE),
                                              play(5, 0, 1),
                                              play(0, 0, 1),
                                              step(),  // 33
                                              pauseAll(),
                                              step(),  // 0
                                              play(1, 0x100, 1),
                                              play(1, 1, 1),
                                              step(),  // 2
                                              play(0, 0, 1, EXCLUSIVE),
                                              play(0, 1, 1),
                                              step(),  // 1
                                              play(5, 0, 1, EXCLUSIVE),
                                              play(2, 0, 0x300, EXCLUSIVE),
                                              stopAll(),
                                              step(),  // 0
                                              pause(0),
                                              play(0, 0, 1),
                                              step(),  // 1
                                              withWho(play(0, 0, 0, PARAM), Who::None),
                                              withWho(stop(0, PARAM), Who::Unknown),
                                              withWho(pause(0, PARAM), Who::Unknown),
                                              stop(1),
                                              stop(1),
                                              step()},  // 1
            {flat(F, 0), flat(F, 15), flat(F, 15), flat(F, 32), flat(F, 33), flat(F, 0), flat(F, 2),
             flat(F, 1), flat(F, 0), flat(F, 1), flat(F, 1)}};
}

Case silentWithoutBlock() {
    constexpr uint32_t F = 8;
    return {"a sound started with no free block plays silently and counts until stopped",
            F,
            bitSounds(F, 5),
            createBits(5) +
                std::vector<Call>{play(0, 0, 1), play(1, 0, 1), play(2, 0, 1), play(3, 0, 1),
                                  pauseAll(), play(4, 0, 1), step(),  // 0: e has no block
                                  play(0, 0, 1), play(1, 0, 1), play(2, 0, 1), step(),      // 7
                                  play(3, 0, 1, TOO_MANY), stop(4), play(3, 0, 1), step(),  // 15
                                  stopAll(), play(4, 0, 1), step()},                        // 16
            {flat(F, 0), flat(F, 0), flat(F, 7), flat(F, 15), flat(F, 16)}};
}

Case deleteAndCreate() {
    constexpr uint32_t F = 8;
    std::map<std::string, Bytes> files = bitSounds(F, 2);
    files["./a.wav"] = files["a.wav"];
    files["mono.wav"] = [] {
        kxtest::WavLayout layout;
        layout.channels = 1;
        layout.data = Bytes(64, 1);
        return kxtest::buildWav(layout);
    }();
    return {"creation statuses, a second name for one file, and delete from the next period",
            F,
            files,
            createBits(2) + std::vector<Call>{create("a.wav", EXISTS), create("mono.wav", FORMAT),
                                              create("none.wav", FILE_ERR), create("./a.wav"),
                                              play(0, 0, 1), play(1, 0, 1), play(2, 0, 1),
                                              step(),             // 1+2+1
                                              remove(0), step(),  // 3
                                              withWho(play(0, 0, 1, PARAM), Who::Stale),
                                              create("a.wav"), play(3, 0, 1), step()},  // 4
            {flat(F, 0), flat(F, 4), flat(F, 3), flat(F, 4)}};
}

Case gain() {
    constexpr uint32_t F = 8;
    std::vector<int16_t> s(F * 2);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = i % 2 ? -1001 : 1001;
    auto at = [&](int16_t left, int16_t right) {
        Period p(F * 2);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = i % 2 ? right : left;
        return p;
    };
    return {"volume and mute act from the next period; only the low byte counts",
            F,
            {{"a.wav", kxtest::canonicalWav(s)}},
            {create("a.wav"), play(0, 0, 1), step(), volume(50), step(), volume(356), step(),
             volume(101, RANGE), volume(255, RANGE), step(), volume(33), step(), mute(1), step(),
             mute(0x100), step(), volume(0), step()},
            {flat(F, 0), at(1001, -1001), at(500, -500), at(1001, -1001), at(1001, -1001),
             at(330, -330), flat(F, 0), at(330, -330), flat(F, 0)}};
}

Case fileLayouts() {
    constexpr uint32_t F = 16;
    kxtest::WavLayout odd;  // odd "fmt " and odd chunk before, a chunk after: pads and offsets
    odd.fmtSize = 17;
    odd.before.push_back({"junk", Bytes(5, 0x55)});
    odd.data = kxtest::samplesToBytes(kxtest::constantSamples(F * 3 / 2, 500));
    odd.after.push_back({"LIST", Bytes(40, 0x7F)});
    kxtest::WavLayout cut;  // the data chunk claims two periods, the file holds one and a half
    cut.data = kxtest::samplesToBytes(kxtest::constantSamples(F * 3 / 2, -700));
    cut.dataSizeOverride = F * 8;
    kxtest::WavLayout empty;
    return {"pad bytes are passed over, bytes after the data never play, empty data ends at once",
            F,
            {{"odd.wav", kxtest::buildWav(odd)},
             {"cut.wav", kxtest::buildWav(cut)},
             {"empty.wav", kxtest::buildWav(empty)},
             {"c.wav", flatWav(F, 3)},
             {"d.wav", flatWav(F, 4)},
             {"e.wav", flatWav(F, 5)}},
            {create("odd.wav"),
             play(0, 0, 1),
             step(3),
             stop(0),
             create("cut.wav"),
             play(1, 0, 0),
             step(3),
             create("empty.wav"),
             create("c.wav"),
             create("d.wav"),
             create("e.wav"),
             play(2, 0, 1),
             play(3, 0, 1),
             play(4, 0, 1),
             play(0, 0, 1),
             play(5, 0, 1, TOO_MANY),
             step(),
             stop(0),
             play(5, 0, 1),
             step()},
            {flat(F, 0), flat(F, 500), partial(F, F / 2, 500), flat(F, 500), flat(F, -700),
             partial(F, F / 2, -700), flat(F, 0), flat(F, 507), flat(F, 12)}};
}

Case dataSizeOfTwoGiBOrMore() {
    constexpr uint32_t F = 16;
    auto claiming = [](uint32_t size, int16_t value) {
        kxtest::WavLayout wav;  // one and a half periods in the file
        wav.data = kxtest::samplesToBytes(kxtest::constantSamples(F * 3 / 2, value));
        wav.dataSizeOverride = size;
        return kxtest::buildWav(wav);
    };
    return {"a data size of 2 GiB or more (a stream's 0xFFFFFFFF) plays every byte the file holds",
            F,
            {{"half.wav", claiming(0x80000000, 300)}, {"full.wav", claiming(0xFFFFFFFF, -900)}},
            {create("half.wav"), create("full.wav"), play(0, 0, 0), step(3), play(1, 0, 1), step(4),
             stop(1), step()},
            {flat(F, 0), flat(F, 300), partial(F, F / 2, 300), flat(F, 0), flat(F, -900),
             partial(F, F / 2, -900), flat(F, -900), partial(F, F / 2, -900), flat(F, 0)}};
}

std::vector<Case> cases() {
    return {playsOnceAndEnds(),
            loopsJoin(),
            resumeTakesNewFlags(),
            sumsInCreationOrder(),
            oddPeriodMixesEverySample(),
            admission(),
            silentWithoutBlock(),
            deleteAndCreate(),
            gain(),
            fileLayouts(),
            dataSizeOfTwoGiBOrMore()};
}

Scenario toScenario(const Case& c) {
    Scenario sc;
    sc.frames = c.frames;
    sc.files = c.files;
    for (const Call& call : c.calls)
        sc.actions.push_back(call.action);
    return sc;
}

void expectTrace(const Case& c, const Trace& t) {
    ASSERT_EQ(t.statuses.size(), c.calls.size());
    for (size_t i = 0; i < c.calls.size(); ++i) {
        EXPECT_EQ(statusName(t.statuses[i]), statusName(c.calls[i].status))
            << "call [" << i << "] " << describe(c.calls[i].action);
    }
    ASSERT_EQ(t.periods.size(), c.periods.size());
    for (size_t k = 0; k < c.periods.size(); ++k)
        EXPECT_EQ(t.periods[k], c.periods[k]) << "period " << k;
}

TEST(ModelRules, ModelGivesTheWorkedBytes) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        expectTrace(c, runModel(toScenario(c)));
    }
}

TEST(ModelRules, ModuleGivesTheWorkedBytes) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        Trace t;
        std::string diff = runLockstep(toScenario(c), &t);
        EXPECT_TRUE(diff.empty()) << diff;
        if (diff.empty())
            expectTrace(c, t);
    }
}

}  // namespace
}  // namespace kxmodel
