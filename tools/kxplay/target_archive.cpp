// SPDX-License-Identifier: Apache-2.0
// kxplay --target qemu, the image's input: a resolved scene turned into the command list the
// image reads (scene.cmd) and the files its sound commands name, and the cpio archive QEMU hands
// the image as its initial ramdisk. Pure functions over their arguments; no shared state, no lock.
#include "tools/kxplay/target.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace kx {
namespace {

std::string hex8(uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", v);
    return text;
}

// A name the image can open under its root: relative, without "." or ".." components.
bool plainName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find('|') != std::string::npos)
        return false;
    std::stringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "." || part == "..")
            return false;
    }
    return true;
}

const char* verbName(SceneVerb verb) {
    switch (verb) {
        case SceneVerb::Sound:
            return "sound";
        case SceneVerb::Play:
            return "play";
        case SceneVerb::Pause:
            return "pause";
        case SceneVerb::Stop:
            return "stop";
        case SceneVerb::Delete:
            return "delete";
        case SceneVerb::Volume:
            return "volume";
        case SceneVerb::Mute:
            return "mute";
        case SceneVerb::End:
            break;
    }
    return "end";
}

}  // namespace

bool targetScene(const Scene& scene, const RunConfig& config, uint64_t lastPeriod,
                 std::string* commands, std::vector<TargetFile>* files, std::string* error) {
    std::map<uint32_t, std::string> directories{{KXPLAY_SCENE_LOCATION, config.dir}};
    for (const auto& [location, directory] : config.locations)
        directories[location] = directory;
    std::map<std::string, std::string> packed;  // archive name -> host path
    std::string out =
        "kxscene|" + std::to_string(config.frames) + "|" + std::to_string(lastPeriod) + "\n";
    for (const SceneCommand& c : scene.commands) {
        if (c.verb == SceneVerb::End || c.period > lastPeriod)
            continue;
        std::string file;
        if (c.verb == SceneVerb::Sound) {
            auto dir = directories.find(c.location);
            if (!plainName(c.file) || dir == directories.end()) {
                *error = (c.line > 0 ? "line " + std::to_string(c.line) + ": " : "") +
                         "the target opens files below --dir only, by names without '.', '..' "
                         "or '|': '" +
                         c.file + "'";
                return false;
            }
            // Files of further locations go under a folder of their own in the archive. Built by
            // appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "L" + std::string&&.
            if (c.location != KXPLAY_SCENE_LOCATION) {
                file = "L";
                file += std::to_string(c.location);
                file += '/';
            }
            file += c.file;
            packed.emplace(file, dir->second + "/" + c.file);
        }
        std::string flags;
        if (c.loop)
            flags += 'l';
        if (c.exclusive)
            flags += 'e';
        if (c.all)
            flags += 'a';
        if (config.filesMode && c.verb == SceneVerb::Play)
            flags += 's';
        out += std::to_string(c.period) + "|" + verbName(c.verb) + "|" + c.name + "|" + file + "|" +
               std::to_string(KXPLAY_SCENE_LOCATION) + "|" + flags + "|" + std::to_string(c.value) +
               "|" + c.text + "\n";
    }
    files->clear();
    for (const auto& [name, path] : packed)
        files->push_back(TargetFile{name, path});
    *commands = std::move(out);
    return true;
}

std::string cpioArchive(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out;
    auto add = [&out](const std::string& name, const std::string& data, uint32_t mode) {
        uint32_t fields[13] = {0,
                               mode,
                               0,
                               0,
                               1,
                               0,
                               static_cast<uint32_t>(data.size()),
                               0,
                               0,
                               0,
                               0,
                               static_cast<uint32_t>(name.size() + 1),
                               0};
        out += "070701";
        for (uint32_t field : fields)
            out += hex8(field);
        out += name;
        out.push_back('\0');
        out.append((4 - out.size() % 4) % 4, '\0');
        out += data;
        out.append((4 - out.size() % 4) % 4, '\0');
    };
    for (const auto& [name, data] : members)
        add(name, data, 0100644);
    add("TRAILER!!!", "", 0);
    return out;
}

}  // namespace kx
