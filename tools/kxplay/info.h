// SPDX-License-Identifier: Apache-2.0
// kxplay --info: what the module's WAV reader finds in a file, whether a sound could be created
// from it, and, for a refused file, the reason in words and a command that converts it. Runs on
// the caller's thread; reads the platform console capture, which the caller owns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "wavFile/wavFile.h"

namespace kx {

struct WavChunkInfo {
    std::string id;       // four characters, non-printable ones shown as '?'
    uint32_t size = 0;    // body size as written
    uint64_t offset = 0;  // file position of the chunk's header
};

struct WavInspection {
    std::string unreadable;  // set when the file cannot be read at all ("no such file", ...)
    std::string fullPath;    // the path the module would build and open
    uint64_t fileSize = 0;
    // The module's reader (parseWavFmt) on fullPath.
    int32_t parseResult = -1;
    WavFormat format{};  // as the reader left it (zero when it stopped before "fmt ")
    uint32_t dataOffset = 0;
    uint32_t dataLength = 0;
    std::string readerMessage;  // what the reader printed on the console, if anything
    // kxplay's own walk over the chunk list.
    bool riffWave = false;  // the file begins with RIFF....WAVE
    bool fmtSeen = false;   // a "fmt " chunk of at least 16 bytes, all in the file, was walked
    bool dataSeen = false;  // and behind it a "data" header among those the reader looks at
    std::vector<WavChunkInfo> chunks;
    // The verdict.
    bool accepted = false;     // _sndCreate would accept the file
    std::string reason;        // why not, in words (empty when accepted)
    bool pathTooLong = false;  // refused for its path alone (the file itself would do)
    // Remarks: on the header (a chunk size the reader takes as empty, a header cut short) and,
    // for an accepted file, on what a play is heard as (empty data, data the file lacks).
    std::vector<std::string> notes;
};

// Inspects the file at `path` as _sndCreate would see a sound made from it: the full path from
// its directory and name, the reader's verdict, the stream's format. The platform console must
// be captured (kxConsoleCapture) by the caller: the reader's message is taken from the capture.
// Never fails: an unreadable file is described in `unreadable`.
WavInspection inspectWav(const std::string& path);

// Sample bytes the file holds of what its "data" chunk claims: what a play reads.
uint64_t wavBytesPresent(const WavInspection& inspection);

// Sample bytes a sound made from the file is heard for before the module stops it: dataLength,
// or, when the file holds fewer bytes behind the data offset, those bytes plus one (the loader's
// last read at the end of the file still queues one period of silence).
uint32_t wavBytesHeard(const WavInspection& inspection);

// A shell command (ffmpeg) that converts the file to what kxaudio plays, next to it.
std::string wavConversionCommand(const std::string& path);

// Prints the report of one file.
void printWavInspection(FILE* out, const std::string& path, const WavInspection& inspection);

// kxplay --info FILE...: prints a report per file to `out`. Returns 0 when every file would be
// accepted, 1 when any is refused or unreadable. Captures the console while it runs.
int runWavInfo(const std::vector<std::string>& files, FILE* out);

}  // namespace kx
