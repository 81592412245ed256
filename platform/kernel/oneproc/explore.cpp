// SPDX-License-Identifier: Apache-2.0
// The explorer's state (see explore.h): the places chosen for this run and the count of places
// passed. One thread only, like the kernel it steers.
#include "platform/kernel/oneproc/explore.h"

#include <algorithm>
#include <random>
#include <vector>

#include "platform/kernel/oneproc/explorer.h"

namespace kx {
namespace oneproc {
namespace {

struct Explorer {
    bool on = false;
    uint64_t place = 0;            // places passed since RtkExplore
    std::vector<uint64_t> chosen;  // ascending
    size_t nextChosen = 0;
    uint64_t preemptions = 0;  // chosen places that brought a wake-up forward
};

Explorer& explorer() {
    static auto* instance = new Explorer;
    return *instance;
}

}  // namespace

bool exploring() {
    return explorer().on;
}

bool explorePreemptHere() {
    Explorer& e = explorer();
    uint64_t here = e.place++;
    bool hit = false;
    while (e.nextChosen < e.chosen.size() && e.chosen[e.nextChosen] <= here) {
        hit = hit || e.chosen[e.nextChosen] == here;
        ++e.nextChosen;
    }
    return hit;
}

void exploreNotePreemption() {
    ++explorer().preemptions;
}

}  // namespace oneproc

void RtkExplore(uint64_t seed, uint32_t preemptions, uint64_t places) {
    oneproc::Explorer& e = oneproc::explorer();
    e = oneproc::Explorer{};
    if (seed == 0 || places == 0)
        return;
    e.on = true;
    std::mt19937_64 random(seed);
    for (uint32_t i = 0; i < preemptions; ++i)
        e.chosen.push_back(random() % places);
    std::sort(e.chosen.begin(), e.chosen.end());
}

uint64_t RtkExplorePreemptions() {
    return oneproc::explorer().preemptions;
}

uint64_t RtkExplorePlaces() {
    return oneproc::explorer().place;
}

}  // namespace kx
