// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu: the scene played by the bootable image (metal/) under QEMU, on its
// emulated HD-audio controller, instead of by the host's simulated driver. Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kxplay/options.h"
#include "tools/kxplay/runner.h"
#include "tools/kxplay/scene.h"

namespace kx {

// The frames per period the image accepts (its driver's ring holds at most 256 KiB).
constexpr uint32_t KXPLAY_TARGET_MIN_FRAMES = 64;
constexpr uint32_t KXPLAY_TARGET_MAX_FRAMES = 16384;
// The archive the image can take: the emulated machine has 128 MiB, of which the image's heap
// and rings take 26 MiB.
constexpr uint64_t KXPLAY_TARGET_MAX_ARCHIVE = 64ull << 20;

// One file of the archive handed to the image.
struct TargetFile {
    std::string name;  // as the image opens it, relative to its root (location 1)
    std::string path;  // on the host
};

// What the image is given for a resolved scene: scene.cmd's text and the files its sound
// commands name. Commands after lastPeriod are left out, and so is `end` (lastPeriod is the
// end). False with *error when the scene names a file the image could not open by that name.
bool targetScene(const Scene& scene, const RunConfig& config, uint64_t lastPeriod,
                 std::string* commands, std::vector<TargetFile>* files, std::string* error);

// A cpio "newc" archive of the members (name, bytes), ending with its trailer.
std::string cpioArchive(const std::vector<std::pair<std::string, std::string>>& members);

// Where the image is: --image, else $KXPLAY_METAL_IMAGE, else where make metal or an install
// put it beside kxplay. "" when none of these names a file.
std::string findTargetImage(const std::string& given, const std::string& self);

// Plays the scene on the target and writes its output as config says. Returns kxplay's exit
// status.
int runOnTarget(const Scene& scene, const RunConfig& config, const KxplayOptions& options,
                const std::string& self);

}  // namespace kx
