// SPDX-License-Identifier: Apache-2.0
// kxplay --info: asks the module's own reader for its verdict on a file, then walks the chunk
// list itself to put a refusal into words. Runs on the caller's thread; the console capture it
// reads belongs to the caller (runWavInfo takes it for its own run).
#include "tools/kxplay/info.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "kxaudio/kxaudio.h"
#include "platform/devices/wav_format.h"
#include "platform/files/kxfile_host.h"
#include "platform/files/kxfs.h"
#include "tools/kxplay/prepare.h"

namespace kx {
namespace {

constexpr int kReaderChunkLimit = WAV_MAX_CHUNKS;  // chunk headers the reader looks at
constexpr int kWalkChunkLimit = 64;                // chunk headers kxplay lists
constexpr int32_t kFmtFields = 16;                 // bytes of the format record in "fmt "
constexpr const char* kStreamWords = "kxaudio plays 2-channel 44100 Hz 16-bit PCM";

std::string fourcc(const uint8_t* p) {
    std::string id(4, '?');
    for (int i = 0; i < 4; ++i)
        if (p[i] >= 0x20 && p[i] < 0x7F)
            id[i] = static_cast<char>(p[i]);
    return id;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a file that is not RIFF/WAVE looks like, from its first bytes.
std::string notWave(const uint8_t* head, size_t length) {
    if (length == 0)
        return "an empty file, not WAV";
    auto starts = [&](const char* magic) {
        size_t n = std::strlen(magic);
        return length >= n && std::memcmp(head, magic, n) == 0;
    };
    if (starts("ID3") || (length >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))
        return "an MP3 file, not WAV";
    if (starts("OggS"))
        return "an Ogg file, not WAV";
    if (starts("fLaC"))
        return "a FLAC file, not WAV";
    if (starts("FORM"))
        return "an AIFF (or other IFF) file, not WAV";
    if (starts("RIFX"))
        return "a big-endian RIFX file; the reader needs little-endian RIFF";
    if (starts("RF64") || starts("BW64"))
        return "a 64-bit WAV file (RF64); the reader needs plain RIFF";
    if (length < 12 && starts("RIFF"))
        return "a RIFF file cut short before its type";
    if (starts("RIFF"))
        return "a RIFF file of type '" + fourcc(head + 8) + "', not WAVE";
    return "not a WAV file (it does not begin with 'RIFF')";
}

std::string tagWords(uint16_t tag) {
    switch (tag) {
        case 2:
            return "Microsoft ADPCM (format tag 2)";
        case 3:
            return "32-bit float samples (format tag 3)";
        case 6:
            return "A-law samples (format tag 6)";
        case 7:
            return "mu-law samples (format tag 7)";
        case 0x11:
            return "IMA ADPCM (format tag 0x11)";
        case 0x55:
            return "MP3 data (format tag 0x55)";
        case 0xFFFE:
            return "an extensible format header (format tag 0xFFFE)";
        default:
            return "format tag " + std::to_string(tag);
    }
}

// The stream-format mismatches of an otherwise readable PCM header, e.g. "mono, 48000 Hz".
std::string formatMismatch(const WavFormat& f) {
    std::string words;
    auto add = [&](const std::string& w) { words += (words.empty() ? "" : ", ") + w; };
    if (f.channels != kStreamChannels)
        add(f.channels == 1 ? std::string("mono") : std::to_string(f.channels) + " channels");
    if (f.sampleRate != kStreamRate)
        add(std::to_string(f.sampleRate) + " Hz");
    if (f.bitsPerSample != kStreamBits)
        add(std::to_string(f.bitsPerSample) + "-bit");
    return words;
}

// Why a "fmt " chunk gives the reader no format it can use, or "" when it gives one.
std::string fmtProblem(const WavChunkInfo& chunk, uint64_t fileSize) {
    auto readerSize = static_cast<int32_t>(chunk.size);
    if (readerSize < 0)
        return "its 'fmt ' chunk gives its size as " + std::to_string(chunk.size) +
               ", which the reader takes as " + std::to_string(readerSize) +
               " (the top bit is set); a PCM format needs 16 bytes";
    if (readerSize < kFmtFields)
        return "its 'fmt ' chunk holds only " + std::to_string(readerSize) +
               " bytes; a PCM format needs 16";
    if (chunk.offset + 8 + kFmtFields > fileSize)
        return "the file ends inside its 'fmt ' chunk: it is " + std::to_string(fileSize) +
               " bytes long, and the format's 16 bytes end at byte " +
               std::to_string(chunk.offset + 8 + kFmtFields);
    return "";
}

// Walks the chunk list as the reader does (an odd body is followed by a pad byte; a size with
// its top bit set is an empty body; a header cut short by the file's end has its missing bytes
// read as 0) and records what it meets; returns the first problem that would keep the reader
// from a usable "fmt " and "data", or "".
std::string walkChunks(std::ifstream& file, WavInspection* out) {
    uint64_t at = 12;
    int dataIndex = -1;
    std::string fmtTrouble;
    bool dataBeforeFmt = false;
    for (int index = 0; index < kWalkChunkLimit && at + 4 <= out->fileSize; ++index) {
        uint8_t header[8] = {};
        file.seekg(static_cast<std::streamoff>(at));
        file.read(reinterpret_cast<char*>(header), 8);
        bool headerCut = file.gcount() < 8;
        file.clear();
        WavChunkInfo chunk{fourcc(header), le32(header + 4), at};
        out->chunks.push_back(chunk);
        auto readerSize = static_cast<int32_t>(chunk.size);
        std::string where = "its '" + chunk.id + "' chunk at byte " + std::to_string(at);
        if (headerCut)
            out->notes.push_back("the file ends inside the header of " + where +
                                 "; the reader counts the missing bytes of its size as 0");
        else if (readerSize < 0 && chunk.id != "fmt " && chunk.id != "data")
            out->notes.push_back(where + " gives its size as " + std::to_string(chunk.size) +
                                 "; with the top bit set the reader takes it as empty and reads "
                                 "the next chunk header right behind it");
        if (chunk.id == "fmt ") {
            fmtTrouble = fmtProblem(chunk, out->fileSize);
            out->fmtSeen = fmtTrouble.empty();
            if (readerSize < kFmtFields)
                break;  // the reader gives up here
        } else if (chunk.id == "data" && dataIndex < 0) {
            dataIndex = index;
            dataBeforeFmt = !out->fmtSeen;
            out->dataSeen = out->fmtSeen && index < kReaderChunkLimit;
            break;  // the reader stops at the first "data"; what follows is not its concern
        }
        at += 8 + (readerSize > 0 ? static_cast<uint64_t>(chunk.size) + (chunk.size & 1) : 0);
    }
    if (!fmtTrouble.empty())
        return fmtTrouble;
    if (dataIndex < 0) {
        if (!out->fmtSeen)
            return "it has neither a 'fmt ' nor a 'data' chunk that the reader can reach";
        return "it has no 'data' chunk that the reader can reach";
    }
    if (dataBeforeFmt)
        return "its 'data' chunk comes before any 'fmt ' chunk";
    if (dataIndex >= kReaderChunkLimit)
        return "its 'data' chunk is chunk " + std::to_string(dataIndex + 1) +
               "; the reader looks at the first " + std::to_string(kReaderChunkLimit) +
               " chunk headers only";
    return "";
}

std::string shellQuote(const std::string& text) {
    bool plain = !text.empty();
    for (char c : text)
        plain =
            plain && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:@", c));
    if (plain)
        return text;
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string unreadableWords(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return "no such file";
        return std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode))
        return "a directory, not a file";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    std::ifstream probe(path, std::ios::binary);
    if (!probe)
        return errno == EACCES ? "permission denied" : "cannot be opened for reading";
    return "";
}

}  // namespace

WavInspection inspectWav(const std::string& path) {
    WavInspection out;
    std::string name = nameOf(path);
    if (name.empty()) {
        out.unreadable = "a directory, not a file";
        out.reason = out.unreadable;
        return out;
    }
    out.unreadable = unreadableWords(path);
    if (!out.unreadable.empty()) {
        out.reason = out.unreadable;
        return out;
    }

    // The path the module builds: the location's directory in its opened form, "/", the name.
    std::vector<char> directory(4096, '\0');
    std::string dir = directoryOf(path);
    if (kxfsDevice(dir.c_str(), directory.data(), static_cast<uint32_t>(directory.size()), 0) == 0)
        out.fullPath = std::string(directory.data()) + "/" + name;
    else
        out.fullPath = path;

    std::ifstream file(path, std::ios::binary);
    file.seekg(0, std::ios::end);
    out.fileSize = static_cast<uint64_t>(file.tellg());
    file.seekg(0);
    uint8_t head[12] = {};
    file.read(reinterpret_cast<char*>(head), sizeof head);
    size_t headLength = static_cast<size_t>(file.gcount());
    file.clear();

    size_t before = kxConsoleTaken().size();
    out.parseResult =
        parseWavFmt(out.fullPath.c_str(), &out.format, &out.dataOffset, &out.dataLength);
    std::string console = kxConsoleTaken();
    if (console.size() > before)
        out.readerMessage = console.substr(before);

    std::string walkProblem;
    out.riffWave = headLength == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
                   std::memcmp(head + 8, "WAVE", 4) == 0;
    if (!out.riffWave)
        walkProblem = notWave(head, headLength);
    else
        walkProblem = walkChunks(file, &out);

    // The module's verdict decides; kxplay's walk only explains it.
    if (out.fullPath.size() + 1 > SND_PATH_SIZE) {
        out.pathTooLong = true;
        out.reason = "its full path is " + std::to_string(out.fullPath.size()) +
                     " characters; kxaudio takes at most " + std::to_string(SND_PATH_SIZE - 1);
    } else if (out.parseResult != 0) {
        if (!walkProblem.empty())
            out.reason = walkProblem;
        else if (out.fmtSeen && out.format.formatTag != 1)
            out.reason = tagWords(out.format.formatTag) + ", not PCM; " + kStreamWords;
        else
            out.reason = "the WAV reader refuses its header";
    } else if (!formatMismatch(out.format).empty()) {
        out.reason = formatMismatch(out.format) + "; " + kStreamWords;
    } else {
        out.accepted = true;
    }

    // What a play is heard as: only a sound the module makes can be played.
    if (out.accepted) {
        uint64_t present = wavBytesPresent(out);
        if (out.dataLength == 0)
            out.notes.push_back("no samples: a play is one period of silence");
        else if (present == 0)
            out.notes.push_back("its 'data' chunk claims " + std::to_string(out.dataLength) +
                                " bytes but the file ends before the first of them: a play is "
                                "one period of silence");
        else if (present < out.dataLength)
            out.notes.push_back("its 'data' chunk claims " + std::to_string(out.dataLength) +
                                " bytes but the file holds " + std::to_string(present) +
                                " behind the data offset; only those play" +
                                (out.dataLength == UINT32_MAX
                                     ? " (writers streaming to a pipe claim 4294967295)"
                                     : ""));
        uint32_t frameBytes = out.format.channels * out.format.bitsPerSample / 8u;
        if (frameBytes != 0 && present % frameBytes != 0)
            out.notes.push_back("the data is not a whole number of frames");
    }
    return out;
}

uint64_t wavBytesPresent(const WavInspection& inspection) {
    uint64_t behind = inspection.fileSize > inspection.dataOffset
                          ? inspection.fileSize - inspection.dataOffset
                          : 0;
    return behind < inspection.dataLength ? behind : inspection.dataLength;
}

uint32_t wavBytesHeard(const WavInspection& inspection) {
    uint64_t present = wavBytesPresent(inspection);
    if (present == inspection.dataLength)
        return inspection.dataLength;
    return static_cast<uint32_t>(present + 1);
}

std::string wavConversionCommand(const std::string& path) {
    std::string base = path;
    size_t slash = base.rfind('/');
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        base.resize(dot);
    return "ffmpeg -i " + shellQuote(path) + " -ac 2 -ar 44100 -c:a pcm_s16le " +
           shellQuote(base + "-kx.wav");
}

void printWavInspection(FILE* out, const std::string& path, const WavInspection& w) {
    if (!w.unreadable.empty()) {
        std::fprintf(out, "%s: cannot be read: %s\n", path.c_str(), w.unreadable.c_str());
        return;
    }
    if (w.accepted)
        std::fprintf(out, "%s: accepted\n", path.c_str());
    else
        std::fprintf(out, "%s: refused: %s\n", path.c_str(), w.reason.c_str());
    if (!w.accepted && !w.pathTooLong && prepareBuilt())
        std::fprintf(out, "  prepare   %s\n", prepareCommand(shellQuote(path)).c_str());

    const WavFormat& f = w.format;
    if (w.fmtSeen) {
        std::fprintf(out,
                     "  format    %s (tag %u), %u channel%s, %u Hz, %u-bit; byte rate %u, "
                     "block align %u\n",
                     f.formatTag == 1 ? "PCM" : "not PCM", f.formatTag, f.channels,
                     f.channels == 1 ? "" : "s", f.sampleRate, f.bitsPerSample, f.byteRate,
                     f.blockAlign);
    }
    if (w.fmtSeen && w.dataSeen) {
        // The length in time is of the bytes the file holds: those are what a play reads.
        uint64_t present = wavBytesPresent(w);
        uint32_t frameBytes = f.channels * f.bitsPerSample / 8u;
        uint64_t frames = frameBytes ? present / frameBytes : 0;
        double seconds = f.sampleRate ? static_cast<double>(frames) / f.sampleRate : 0.0;
        std::fprintf(out, "  data      at byte %u, %u bytes", w.dataOffset, w.dataLength);
        if (present < w.dataLength)
            std::fprintf(out, " claimed, %llu in the file",
                         static_cast<unsigned long long>(present));
        std::fprintf(out, " = %llu frames = %.3f s\n", static_cast<unsigned long long>(frames),
                     seconds);
    }
    if (!w.chunks.empty()) {
        std::fprintf(out, "  chunks   ");
        for (const WavChunkInfo& c : w.chunks)
            std::fprintf(out, " '%s' %u at %llu;", c.id.c_str(), c.size,
                         static_cast<unsigned long long>(c.offset));
        std::fprintf(out, "\n");
    }
    if (!w.readerMessage.empty())
        std::fprintf(out, "  reader    %s\n", w.readerMessage.c_str());
    for (const std::string& note : w.notes)
        std::fprintf(out, "  note      %s\n", note.c_str());
    if (!w.accepted && !w.pathTooLong)
        std::fprintf(out, "  convert   %s\n", wavConversionCommand(path).c_str());
}

int runWavInfo(const std::vector<std::string>& files, FILE* out) {
    int status = 0;
    kxConsoleCapture(true);
    for (const std::string& path : files) {
        WavInspection inspection = inspectWav(path);
        printWavInspection(out, path, inspection);
        if (!inspection.accepted)
            status = 1;
    }
    kxConsoleCapture(false);
    return status;
}

}  // namespace kx
