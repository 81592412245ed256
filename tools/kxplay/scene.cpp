// SPDX-License-Identifier: Apache-2.0
// The scene parser: turns scene text into commands, and reads the times written in it. Pure
// functions over the caller's data; no shared state, no lock. What is done with a parsed scene
// is in scene_build.cpp.
#include "tools/kxplay/scene.h"

#include "tools/kxplay/text.h"

namespace kx {
namespace {

struct Token {
    std::string value;  // without quotes
    size_t begin = 0;   // offsets in the line, quotes included
    size_t end = 0;
    bool quoted = false;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Splits a line into words up to a '#' that is not inside double quotes. A quoted word may hold
// blanks and '#' (a FILE such as "my song.wav"); it ends at the next double quote.
bool tokenize(std::string_view line, std::vector<Token>* tokens, std::string* message) {
    size_t i = 0;
    while (i < line.size()) {
        if (isSpace(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#')
            break;
        Token token;
        token.begin = i;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string_view::npos) {
                *message = "a closing '\"' to end the quoted name";
                return false;
            }
            token.value = std::string(line.substr(i + 1, close - i - 1));
            token.quoted = true;
            i = close + 1;
            if (i < line.size() && !isSpace(line[i]) && line[i] != '#') {
                *message = "a blank after the quoted name";
                return false;
            }
        } else {
            while (i < line.size() && !isSpace(line[i]) && line[i] != '#' && line[i] != '"')
                ++i;
            token.value = std::string(line.substr(token.begin, i - token.begin));
            if (i < line.size() && line[i] == '"') {
                *message = "a blank before the '\"' that opens a quoted name";
                return false;
            }
        }
        token.end = i;
        tokens->push_back(std::move(token));
    }
    return true;
}

bool isName(const Token& token) {
    if (token.quoted || token.value.empty() || token.value == "all")
        return false;
    for (char c : token.value) {
        bool ok = isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

bool parseUnsigned(std::string_view text, uint64_t limit, uint64_t* out) {
    if (text.empty() || text.size() > 12)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > limit)
        return false;
    *out = value;
    return true;
}

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "'" + std::string&&.
std::string quote(const std::string& text) {
    std::string quoted = "'";
    quoted += visibleText(text);
    quoted += '\'';
    return quoted;
}

// A word written where a command belongs that reads as a time: "1.5", "p64".
bool looksLikeTime(const std::string& word) {
    uint64_t ignored = 0;
    if (word.size() > 1 && word[0] == 'p')
        return parseUnsigned(std::string_view(word).substr(1), UINT64_MAX, &ignored);
    return parseSeconds(word, &ignored);
}

// Digits, with or without a minus sign.
bool isWholeNumber(std::string_view text) {
    if (!text.empty() && text[0] == '-')
        text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The volume a value is heard as: kxaudio keeps the low 8 bits of what it is given.
constexpr uint64_t kVolumeBits = 0xFF;

constexpr const char* kTimeWords = "a time (seconds such as 1.5, or a period such as p64)";
constexpr const char* kCommandWords =
    "a command: sound, play, pause, stop, delete, volume, mute or end";
constexpr const char* kNameWords = "a sound NAME (letters, digits, '_', '-' or '.'; not 'all')";

// Parses one line that has at least one word. On failure *message says what was expected.
bool parseCommand(std::string_view line, const std::vector<Token>& tokens, SceneCommand* command,
                  std::string* message, bool* bareTime) {
    size_t i = 0;
    if (tokens[0].value == "at" && !tokens[0].quoted) {
        if (tokens.size() < 2) {
            *message = std::string("expected ") + kTimeWords + " after 'at'";
            return false;
        }
        const std::string& time = tokens[1].value;
        if (!tokens[1].quoted && time.size() > 1 && time[0] == 'p') {
            command->atPeriod = true;
            if (!parseUnsigned(std::string_view(time).substr(1), KXPLAY_MAX_PERIOD,
                               &command->when)) {
                *message =
                    "expected a period index of at most 1000000000 after 'p', found " + quote(time);
                return false;
            }
        } else if (tokens[1].quoted || !parseSeconds(time, &command->when)) {
            *message = std::string("expected ") + kTimeWords + " after 'at', found " + quote(time);
            return false;
        }
        i = 2;
        if (tokens.size() == 2) {
            *message = std::string("expected ") + kCommandWords + " after 'at " + time + "'";
            return false;
        }
    }

    const Token& verb = tokens[i];
    size_t args = tokens.size() - i - 1;
    const Token* arg = args > 0 ? &tokens[i + 1] : nullptr;
    command->text = visibleText(line.substr(verb.begin, tokens.back().end - verb.begin));
    const std::string& word = verb.value;

    auto expectName = [&](const char* what) {
        if (arg == nullptr) {
            *message = std::string("expected ") + what + " after " + quote(word);
            return false;
        }
        return true;
    };
    auto noMore = [&](size_t allowed, const char* what) {
        if (args > allowed) {
            *message = std::string("expected nothing after ") + what + ", found " +
                       quote(tokens[i + 1 + allowed].value);
            return false;
        }
        return true;
    };

    if (verb.quoted) {
        *message = std::string("expected ") + kCommandWords + ", found " + quote(word);
        return false;
    }
    if (word == "sound") {
        command->verb = SceneVerb::Sound;
        if (!expectName("a sound NAME and a FILE"))
            return false;
        if (!isName(*arg)) {
            *message = std::string("expected ") + kNameWords + " after 'sound', found " +
                       quote(arg->value);
            return false;
        }
        if (args < 2) {
            *message = "expected a FILE after 'sound " + arg->value + "'";
            return false;
        }
        if (tokens[i + 2].value.empty()) {
            *message = "expected a FILE after 'sound " + arg->value + "', found an empty name";
            return false;
        }
        const std::string& file = tokens[i + 2].value;
        if (file[0] == '/') {
            // The module joins location 1's directory and the name, so an absolute path would
            // name a file under --dir that is not there.
            size_t slash = file.rfind('/');
            *message = "expected a FILE under --dir, found the absolute path " + quote(file) +
                       "; a scene's files are names in the --dir directory (kxaudio's location "
                       "1): give --dir " +
                       quote(slash == 0 ? "/" : file.substr(0, slash)) + " and write " +
                       quote(file.substr(slash + 1));
            return false;
        }
        command->name = arg->value;
        command->file = file;
        return noMore(2, "'sound NAME FILE'");
    }
    if (word == "play") {
        command->verb = SceneVerb::Play;
        if (!expectName(kNameWords))
            return false;
        if (!isName(*arg)) {
            *message =
                std::string("expected ") + kNameWords + " after 'play', found " + quote(arg->value);
            return false;
        }
        command->name = arg->value;
        for (size_t k = i + 2; k < tokens.size(); ++k) {
            const Token& flag = tokens[k];
            bool* target = nullptr;
            if (!flag.quoted && flag.value == "loop")
                target = &command->loop;
            else if (!flag.quoted && flag.value == "exclusive")
                target = &command->exclusive;
            if (target == nullptr) {
                *message = "expected 'loop' or 'exclusive' after 'play " + command->name +
                           "', found " + quote(flag.value);
                return false;
            }
            if (*target) {
                *message = "expected " + quote(flag.value) + " at most once";
                return false;
            }
            *target = true;
        }
        return true;
    }
    if (word == "pause" || word == "stop") {
        command->verb = word == "pause" ? SceneVerb::Pause : SceneVerb::Stop;
        std::string what = "a sound NAME or 'all'";
        if (!expectName(what.c_str()))
            return false;
        if (!arg->quoted && arg->value == "all") {
            command->all = true;
        } else if (isName(*arg)) {
            command->name = arg->value;
        } else {
            *message =
                "expected " + what + " after " + quote(word) + ", found " + quote(arg->value);
            return false;
        }
        return noMore(1, ("'" + word + " " + arg->value + "'").c_str());
    }
    if (word == "delete") {
        command->verb = SceneVerb::Delete;
        if (!expectName(kNameWords))
            return false;
        if (!isName(*arg)) {
            *message = std::string("expected ") + kNameWords + " after 'delete', found " +
                       quote(arg->value);
            return false;
        }
        command->name = arg->value;
        return noMore(1, ("'delete " + arg->value + "'").c_str());
    }
    if (word == "volume") {
        command->verb = SceneVerb::Volume;
        // Any value kxaudio's call can be given is passed on, so that its own answer shows; a
        // number outside that range, negative or too large, cannot be given and is refused.
        uint64_t volume = 0;
        if (arg == nullptr || arg->quoted || !parseUnsigned(arg->value, UINT32_MAX, &volume)) {
            *message = "expected a volume N (a whole number, 0 to 100) after 'volume'";
            if (arg != nullptr)
                *message += ", found " + quote(arg->value);
            if (arg != nullptr && !arg->quoted && isWholeNumber(arg->value))
                *message += "; kxaudio can be given 0 to 4294967295 only";
            return false;
        }
        command->value = static_cast<uint32_t>(volume);
        if (volume > kVolumeBits)
            command->text += " (kxaudio keeps the low 8 bits: volume " +
                             std::to_string(volume & kVolumeBits) + ")";
        return noMore(1, ("'volume " + arg->value + "'").c_str());
    }
    if (word == "mute") {
        command->verb = SceneVerb::Mute;
        if (arg == nullptr || arg->quoted || (arg->value != "on" && arg->value != "off")) {
            *message = "expected 'on' or 'off' after 'mute'";
            if (arg != nullptr)
                *message += ", found " + quote(arg->value);
            return false;
        }
        command->value = arg->value == "on" ? 1 : 0;
        return noMore(1, ("'mute " + arg->value + "'").c_str());
    }
    if (word == "end") {
        command->verb = SceneVerb::End;
        return noMore(0, "'end'");
    }
    *message = std::string("expected ") + kCommandWords + ", found " + quote(word);
    if (i == 0 && looksLikeTime(word)) {
        *bareTime = true;
        *message += " (a time is written 'at " + word + "')";
    }
    return false;
}

}  // namespace

bool parseSeconds(std::string_view text, uint64_t* nanos) {
    size_t point = text.find('.');
    std::string_view whole = text.substr(0, point);
    std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || (point != std::string_view::npos && fraction.empty()) ||
        fraction.size() > 9)
        return false;
    uint64_t seconds = 0;
    if (!parseUnsigned(whole, KXPLAY_MAX_SECONDS, &seconds))
        return false;
    uint64_t part = 0;
    for (size_t k = 0; k < 9; ++k) {
        char c = k < fraction.size() ? fraction[k] : '0';
        if (!isDigit(c))
            return false;
        part = part * 10 + static_cast<uint64_t>(c - '0');
    }
    uint64_t total = seconds * KXPLAY_NANOS + part;
    if (total > KXPLAY_MAX_SECONDS * KXPLAY_NANOS)
        return false;
    *nanos = total;
    return true;
}

bool parseScene(std::string_view text, Scene* scene, SceneError* error) {
    Scene parsed;
    int lineNumber = 0;
    // Editors on some systems begin UTF-8 text with a byte order mark; it is not a command.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    size_t start =
        text.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
    while (start <= text.size()) {
        size_t stop = text.find('\n', start);
        if (stop == std::string_view::npos)
            stop = text.size();
        std::string_view line = text.substr(start, stop - start);
        ++lineNumber;
        start = stop + 1;

        std::vector<Token> tokens;
        std::string message;
        size_t nul = line.find('\0');
        if (nul != std::string_view::npos) {
            // A name would end at it on its way to the module: refused rather than cut short.
            error->line = lineNumber;
            error->message = "expected text, found a NUL byte at column " +
                             std::to_string(nul + 1) + " (is this a text file?)";
            scene->commands.clear();
            return false;
        }
        if (!tokenize(line, &tokens, &message)) {
            error->line = lineNumber;
            error->message = "expected " + message;
            scene->commands.clear();
            return false;
        }
        if (tokens.empty())
            continue;
        SceneCommand command;
        command.line = lineNumber;
        bool bareTime = false;
        if (!parseCommand(line, tokens, &command, &message, &bareTime)) {
            error->line = lineNumber;
            error->message = message;
            error->bareTime = bareTime;
            scene->commands.clear();
            return false;
        }
        parsed.commands.push_back(std::move(command));
        if (stop == text.size())
            break;
    }
    *scene = std::move(parsed);
    return true;
}

}  // namespace kx
