// SPDX-License-Identifier: Apache-2.0
// kxplay --live: the scene language read from a file descriptor (standard input) a line at a
// time while the module plays, each complete line handed to the runner as one command. Used on
// the runner's thread only; no lock.
#pragma once

#include <cstdio>
#include <deque>
#include <string>

#include "tools/kxplay/runner.h"
#include "tools/kxplay/scene.h"

namespace kx {

struct LiveInput {
    int fd = 0;
    FILE* log = stderr;                 // where a line that is not a command is reported
    std::string label = "<stdin>";      // how messages name the input
    std::string pending;                // bytes read after the last complete line
    std::deque<SceneCommand> commands;  // complete commands not yet taken
    int line = 0;                       // lines read so far
    bool eof = false;                   // the descriptor reached its end (or failed)
    bool endSeen = false;               // an `end` line was read: nothing after it is read
};

// Reads without waiting whatever the descriptor holds and parses the complete lines. A line that
// is not a command (a typo, or one with 'at', which live input does not take) is reported on
// the log and skipped; the session goes on.
void livePoll(LiveInput* input);

// The runner's view of `input` (valid while input lives).
LiveSource liveSource(LiveInput* input);

// Parses one line typed live: true with *command, false with *message saying what is wrong;
// also false (with no message) for a blank or comment line.
bool parseLiveLine(const std::string& line, SceneCommand* command, std::string* message);

}  // namespace kx
