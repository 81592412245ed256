// SPDX-License-Identifier: Apache-2.0
// kxplay prepare: turns sound files into the one format the module plays, shaped for how it
// plays them (whole periods, an instant stop, a saturating mix). The command line, the
// conversion of one file and the report. Runs on the caller's thread; no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct PrepareOptions {
    std::vector<std::string> files;
    std::string outDir;          // -o DIR
    bool loop = false;           // --loop[=FRAMES]
    uint32_t loopFrames = 1024;  // the period the loop's length is a whole number of
    double fadeInMs = 0;         // --fade-in MS
    double fadeOutMs = 0;        // --fade-out MS
    uint32_t headroom = 0;       // --headroom N; 0 when not given
    bool hasGain = false;        // --gain DB given
    double gainDb = 0;           // --gain DB
    bool dither = true;          // --no-dither clears it
    bool quiet = false;          // -q: refusals only
    bool help = false;           // -h
};

// Parses the words after "prepare". Returns 0 with *options filled, or 2 with *error in words.
int parsePrepareOptions(const std::vector<std::string>& args, PrepareOptions* options,
                        std::string* error);

// True when this build has the libraries prepare needs (libsndfile and libsoxr).
bool prepareBuilt();

// The prepare command that makes a file playable, for kxplay --info's advice.
std::string prepareCommand(const std::string& quotedPath);

// kxplay prepare ARGS...: 0 when every file was written, 1 when any failed (the others are still
// written), 2 for a usage error.
int runPrepare(const std::vector<std::string>& args);

}  // namespace kx
