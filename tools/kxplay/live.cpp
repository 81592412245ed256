// SPDX-License-Identifier: Apache-2.0
// Live input: reads the descriptor without blocking between the runner's periods, so that a
// command runs within a period of its line being complete, and Ctrl-C is never held up by a
// read. Runner's thread only.
#include "tools/kxplay/live.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kx {
namespace {

constexpr size_t kReadSize = 4096;
constexpr const char* kRunsAtOnce =
    "live input runs each command as soon as its line is complete; ";

void takeLine(LiveInput* input, const std::string& text) {
    ++input->line;
    SceneCommand command;
    std::string message;
    if (!parseLiveLine(text, &command, &message)) {
        if (!message.empty()) {
            std::fprintf(input->log, "kxplay: %s:%d: %s\n", input->label.c_str(), input->line,
                         message.c_str());
            std::fflush(input->log);
        }
        return;
    }
    command.line = input->line;
    if (command.verb == SceneVerb::End) {
        input->endSeen = true;
        return;
    }
    input->commands.push_back(std::move(command));
}

bool take(void* context, SceneCommand* command) {
    auto* input = static_cast<LiveInput*>(context);
    livePoll(input);
    if (input->commands.empty())
        return false;
    *command = std::move(input->commands.front());
    input->commands.pop_front();
    return true;
}

bool ended(void* context) {
    auto* input = static_cast<LiveInput*>(context);
    return (input->eof || input->endSeen) && input->commands.empty();
}

}  // namespace

bool parseLiveLine(const std::string& line, SceneCommand* command, std::string* message) {
    Scene scene;
    SceneError error;
    message->clear();
    if (!parseScene(line, &scene, &error)) {
        *message =
            error.bareTime ? std::string(kRunsAtOnce) + "write it without a time" : error.message;
        return false;
    }
    if (scene.commands.empty())
        return false;
    SceneCommand& parsed = scene.commands.front();
    size_t first = line.find_first_not_of(" \t");
    bool timed = line.compare(first, 2, "at") == 0 && first + 2 < line.size() &&
                 (line[first + 2] == ' ' || line[first + 2] == '\t');
    if (timed) {
        *message = std::string(kRunsAtOnce) + "write it without 'at TIME'";
        return false;
    }
    *command = std::move(parsed);
    return true;
}

void livePoll(LiveInput* input) {
    while (!input->eof && !input->endSeen) {
        struct pollfd p = {input->fd, POLLIN, 0};
        int ready = poll(&p, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return;
        char buffer[kReadSize];
        ssize_t n = read(input->fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            input->eof = true;
            // A last line without its newline is complete at the end of the input.
            if (!input->pending.empty()) {
                std::string last = std::move(input->pending);
                input->pending.clear();
                takeLine(input, last);
            }
            return;
        }
        input->pending.append(buffer, static_cast<size_t>(n));
        size_t newline;
        while (!input->endSeen && (newline = input->pending.find('\n')) != std::string::npos) {
            std::string text = input->pending.substr(0, newline);
            input->pending.erase(0, newline + 1);
            takeLine(input, text);
        }
    }
}

LiveSource liveSource(LiveInput* input) {
    return LiveSource{take, ended, input};
}

}  // namespace kx
