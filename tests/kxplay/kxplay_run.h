// Test helpers for kxplay's end-to-end tests: running the built binary in a directory and
// reading a WAV file back with an independent reader (Python's wave module).
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wavgen.h"

namespace kxplaytest {

struct KxplayRun {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

inline std::string readText(const std::string& path) {
    kxtest::Bytes bytes = kxtest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs kxplay with `args` (shell words) in directory `dir`; standard input is empty.
inline KxplayRun runKxplay(const std::string& dir, const std::string& args) {
    std::string command = "cd '" + dir + "' && '" KX_BINARY_DIR "/tools/kxplay' " + args +
                          " </dev/null >.kxplay-out 2>.kxplay-err";
    int raw = std::system(command.c_str());
    KxplayRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readText(dir + "/.kxplay-out");
    run.err = readText(dir + "/.kxplay-err");
    return run;
}

// The lines of text that start with `prefix`.
inline std::vector<std::string> linesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

// Reads a WAV file with Python's wave module and describes it in one line:
// "channels width rate frames" then, for each period of `frames` frames, "min..max" of its
// samples. Returns "" when Python could not read the file.
inline std::string pythonWavSummary(const std::string& dir, const std::string& wav,
                                    uint32_t frames) {
    const char* script =
        "import sys, wave, array\n"
        "w = wave.open(sys.argv[1], 'rb')\n"
        "n = w.getnframes()\n"
        "s = array.array('h', w.readframes(n))\n"
        "if sys.byteorder != 'little': s.byteswap()\n"
        "out = ['%d %d %d %d' % (w.getnchannels(), w.getsampwidth(), w.getframerate(), n)]\n"
        "step = int(sys.argv[2]) * w.getnchannels()\n"
        "for i in range(0, len(s), step):\n"
        "    p = s[i:i + step]\n"
        "    out.append('%d..%d' % (min(p), max(p)))\n"
        "print(' '.join(out))\n";
    kxtest::writeFile(dir + "/.wavsummary.py", kxtest::Bytes(script, script + strlen(script)));
    std::string command = "python3 '" + dir + "/.wavsummary.py' '" + wav + "' " +
                          std::to_string(frames) + " >'" + dir + "/.wavsummary' 2>&1";
    if (std::system(command.c_str()) != 0)
        return "";
    std::string text = readText(dir + "/.wavsummary");
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

}  // namespace kxplaytest
