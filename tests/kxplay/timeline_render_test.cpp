// SPDX-License-Identifier: Apache-2.0
// The demo's timeline as a reader sees it: kxplay draws it, librsvg's rsvg-convert renders it,
// libpng decodes the pixels, and the colours at the places the run's log and its output name
// (a refused command, a paused span, a sound left unheard, a clipped period) are the ones the
// legend gives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if KX_HAVE_PNG
#include <png.h>
#endif

#include "tests/kxplay/kxplay_run.h"
#include "tests/support/wavgen.h"
#include "tools/kxplay/timeline.h"

namespace {

#if KX_HAVE_PNG
struct Rgb {
    int r, g, b;
};
constexpr Rgb kHeard{0x00, 0x72, 0xB2};
constexpr Rgb kPaused{0xE6, 0x9F, 0x00};
constexpr Rgb kVermillion{0xD5, 0x5E, 0x00};
constexpr Rgb kWhite{0xFF, 0xFF, 0xFF};

double distance(Rgb a, Rgb b) {
    return std::sqrt(
        double((a.r - b.r) * (a.r - b.r) + (a.g - b.g) * (a.g - b.g) + (a.b - b.b) * (a.b - b.b)));
}

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    Rgb at(double x, double y) const {
        int ix = static_cast<int>(x), iy = static_cast<int>(y);
        if (ix < 0 || iy < 0 || ix >= width || iy >= height)
            return Rgb{-1000, -1000, -1000};
        const unsigned char* p = &rgb[(static_cast<size_t>(iy) * width + ix) * 3];
        return Rgb{p[0], p[1], p[2]};
    }
};

bool readPng(const std::string& path, Image* image, std::string* error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        *error = png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    image->width = static_cast<int>(png.width);
    image->height = static_cast<int>(png.height);
    image->rgb.resize(PNG_IMAGE_SIZE(png));
    // A transparent pixel is composed over white, as a page shows it.
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&png, &white, image->rgb.data(), 0, nullptr)) {
        *error = png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

// The periods K of the log lines "pK ..." that hold `fragment`.
std::vector<uint64_t> periodsOf(const std::string& log, const std::string& fragment) {
    std::vector<uint64_t> periods;
    for (const std::string& line : kxplaytest::linesStartingWith(log, "p"))
        if (line.find(fragment) != std::string::npos)
            periods.push_back(std::stoull(line.substr(1, line.find(' ') - 1)));
    return periods;
}

uint64_t periodOf(const std::string& log, const std::string& fragment) {
    std::vector<uint64_t> periods = periodsOf(log, fragment);
    if (periods.empty()) {
        ADD_FAILURE() << "no log line holds " << fragment;
        return 0;
    }
    return periods.front();
}
#endif

TEST(KxplayTimelineRender, TheDemoShowsWhatItsRunReports) {
    // Both wants are named at once, so one install brings everything the test needs.
    std::string missing;
    if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0)
        missing += "rsvg-convert is not installed (Debian package librsvg2-bin); ";
#if !KX_HAVE_PNG
#if KX_M32_BUILD
    missing += "the 32-bit build has no libpng (Debian's libpng-dev is 64-bit); ";
#else
    missing += "this build has no libpng to decode the picture (Debian package libpng-dev); ";
#endif
#endif
    if (!missing.empty())
        GTEST_SKIP() << missing.substr(0, missing.size() - 2);
#if KX_HAVE_PNG
    kxtest::TempDir dir;
    kxplaytest::KxplayRun run =
        kxplaytest::runKxplay(dir.path(), "--demo -o demo.wav --timeline demo.svg");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(std::system(
                  ("rsvg-convert '" + dir.file("demo.svg") + "' -o '" + dir.file("demo.png") + "'")
                      .c_str()),
              0);
    Image image;
    std::string error;
    ASSERT_TRUE(readPng(dir.file("demo.png"), &image, &error)) << error;

    // The lanes in the order the log first names each sound.
    std::vector<std::string> lanes;
    for (const std::string& line : kxplaytest::linesStartingWith(run.err, "p")) {
        std::istringstream words(line);
        std::string period, verb, name;
        words >> period >> verb >> name;
        bool named = verb == "sound" || verb == "play" || verb == "pause" || verb == "stop" ||
                     verb == "delete";
        if (named && name != "all" && std::find(lanes.begin(), lanes.end(), name) == lanes.end())
            lanes.push_back(name);
    }
    auto lane = [&](const std::string& name) {
        return static_cast<size_t>(std::find(lanes.begin(), lanes.end(), name) - lanes.begin());
    };
    std::string rendered = run.err.substr(run.err.find("rendered ") + 9);
    uint64_t periods = std::stoull(rendered);
    kx::TimelineGeometry g = kx::timelineGeometry(periods, 1024, lanes.size(), false);
    EXPECT_EQ(image.width, static_cast<int>(std::ceil(g.width)));
    EXPECT_EQ(image.height, static_cast<int>(std::ceil(g.height)));

    // Clipped periods, from the output itself: a sample at full scale (the volume is 100).
    std::vector<int16_t> samples = kxtest::bytesToSamples(kxtest::readFile(dir.file("demo.wav")));
    samples.erase(samples.begin(), samples.begin() + 22);  // the 44-byte header
    std::vector<uint64_t> clipped;
    for (uint64_t p = 0; p * 2048 < samples.size(); ++p)
        for (size_t i = p * 2048; i < std::min(samples.size(), (p + 1) * 2048); ++i)
            if (samples[i] == 32767 || samples[i] == -32768) {
                clipped.push_back(p);
                break;
            }
    ASSERT_FALSE(clipped.empty()) << "the demo's loud hum clips over the loop";

    uint64_t refused = periodOf(run.err, " play chime -> -30480 SND_ERR_TOO_MANY");
    uint64_t paused = periodOf(run.err, " pause all -> 0 OK");
    uint64_t resumed = 0;
    for (uint64_t p : periodsOf(run.err, " play beat loop -> 0 OK"))
        if (p > paused && resumed == 0)
            resumed = p;
    ASSERT_GT(resumed, paused + 4);
    uint64_t unheard = periodOf(run.err, " play chime -> 0 OK");
    uint64_t silenced = periodOf(run.err, " stop chime -> 0 OK");
    double pausedMiddle = (paused + 1 + resumed + 1) / 2.0;
    struct Probe {
        const char* what;
        double x, y;
        Rgb colour;
    };
    const Probe probes[] = {
        {"the refused play of the fifth sound", kx::timelineX(g, refused + 1),
         kx::timelineLaneMiddle(g, lane("chime")), kVermillion},
        {"the loop, paused", kx::timelineX(g, pausedMiddle),
         kx::timelineLaneMiddle(g, lane("beat")), kPaused},
        {"a tone, paused", kx::timelineX(g, pausedMiddle), kx::timelineLaneMiddle(g, lane("high")),
         kPaused},
        {"the loop, heard before the pause", kx::timelineX(g, paused - 10.5),
         kx::timelineLaneMiddle(g, lane("beat")), kHeard},
        {"the first clipped period", kx::timelineX(g, clipped.front() + 0.5),
         kx::timelineClipMiddle(g), kVermillion},
        {"a period that did not clip", kx::timelineX(g, 100.5), kx::timelineClipMiddle(g), kWhite},
        {"the chime's lane before anything plays it", kx::timelineX(g, 50.5),
         kx::timelineLaneMiddle(g, lane("chime")) - 4, Rgb{0xF2, 0xF2, 0xF2}},
    };
    for (const Probe& p : probes) {
        Rgb seen = image.at(p.x, p.y);
        EXPECT_LT(distance(seen, p.colour), 60.0)
            << p.what << " at (" << p.x << ", " << p.y << "): rgb(" << seen.r << ", " << seen.g
            << ", " << seen.b << ")";
    }

    // The chime started while four paused sounds held every block: hatched, so a box over its
    // span holds both the hatch's colour and white, and none of the heard colour.
    ASSERT_GT(silenced, unheard + 4);
    int hatch = 0, blank = 0, blue = 0;
    double y = kx::timelineLaneMiddle(g, lane("chime"));
    for (double x = kx::timelineX(g, unheard + 2); x < kx::timelineX(g, silenced); x += 1)
        for (double dy = -5; dy <= 5; dy += 1) {
            Rgb seen = image.at(x, y + dy);
            hatch += distance(seen, kVermillion) < 60;
            blank += distance(seen, kWhite) < 60;
            blue += distance(seen, kHeard) < 60;
        }
    EXPECT_GT(hatch, 10);
    EXPECT_GT(blank, 10);
    EXPECT_EQ(blue, 0);

    // Each marker carries its log line for a pointer that hovers over it.
    std::string svg = kxplaytest::readText(dir.file("demo.svg"));
    EXPECT_NE(svg.find("<title>p" + std::to_string(refused) +
                       " play chime -&gt; -30480 SND_ERR_TOO_MANY</title>"),
              std::string::npos);
#endif
}

}  // namespace
