// SPDX-License-Identifier: Apache-2.0
// The timeline's picture: an SVG file drawn from a finished record, read on the runner's thread
// after the module has been freed (the levels are taken under levelLock all the same). Colours
// are the Okabe-Ito palette, and every state also differs in shape or pattern, so that the
// picture reads in grey print and to colour-blind readers.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "kxaudio/kxaudio.h"
#include "tools/kxplay/text.h"
#include "tools/kxplay/timeline.h"

namespace kx {
namespace {

// Okabe-Ito colours.
constexpr const char* kBlue = "#0072B2";        // heard; RMS
constexpr const char* kSky = "#56B4E9";         // peak
constexpr const char* kOrange = "#E69F00";      // paused
constexpr const char* kVermillion = "#D55E00";  // refused, clipped, no block
constexpr const char* kGreen = "#009E73";       // volume
constexpr const char* kPurple = "#CC79A7";      // late
constexpr const char* kRefusedText = "#A04000";

constexpr double kLabelWidth = 150;
constexpr double kRightMargin = 170;  // room for the status of a command near the end
constexpr double kHeaderHeight = 98;
constexpr double kLaneHeight = 26;
constexpr double kMasterHeight = 34;
constexpr double kLevelHeight = 48;
constexpr double kBandHeight = 10;
constexpr double kGap = 6;
constexpr double kLegendHeight = 150;
constexpr double kMinWidth = 1240;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    int n = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof buffer)
        return std::string(buffer, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_start(args, pattern);
    std::vsnprintf(big.data(), big.size(), pattern, args);
    va_end(args);
    big.resize(static_cast<size_t>(n));
    return big;
}

// Text for an element or attribute: file names and log lines may hold control bytes or bytes
// that are not UTF-8, which no XML parser takes; they are spelled out first (visibleText).
std::string escape(const std::string& text) {
    std::string out;
    for (char c : visibleText(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The smallest step of the 1-2-5 series (times `unit`) that is at least `minimum`.
double niceStep(double minimum) {
    double step = 1;
    for (;;) {
        for (double m : {1.0, 2.0, 5.0})
            if (step * m >= minimum)
                return step * m;
        step *= 10;
    }
}

double secondsOf(const TimelineRecord& r, uint64_t periods) {
    return static_cast<double>(periods) * r.frames / KXPLAY_RATE;
}

std::string statusText(int32_t status) {
    const char* name = sndStatusName(status);
    return name != nullptr ? std::string(name) : std::to_string(status);
}

struct Svg {
    std::string out;
    void add(const std::string& s) { out += s; }
};

// A text with a white halo, so that it reads over bars and grid lines.
std::string text(double x, double y, const std::string& s, const char* attributes) {
    return format("<text x=\"%.1f\" y=\"%.1f\" %s>", x, y, attributes) + escape(s) + "</text>\n";
}

void drawGlyph(Svg* svg, SceneVerb verb, double x, double y) {
    const char* ink = "fill=\"#000\" stroke=\"#fff\" stroke-width=\"1\"";
    switch (verb) {
        case SceneVerb::Play:
            svg->add(format("<path d=\"M%.1f %.1fl10 6l-10 6z\" %s/>\n", x - 4, y - 6, ink));
            break;
        case SceneVerb::Pause:
            svg->add(format("<path d=\"M%.1f %.1fh3.5v12h-3.5zM%.1f %.1fh3.5v12h-3.5z\" %s/>\n",
                            x - 4.5, y - 6, x + 1, y - 6, ink));
            break;
        case SceneVerb::Stop:
            svg->add(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"10\" height=\"10\" %s/>\n", x - 5,
                            y - 5, ink));
            break;
        case SceneVerb::Sound:
            svg->add(format("<path d=\"M%.1f %.1fl6 6l-6 6l-6 -6z\" %s/>\n", x, y - 6, ink));
            break;
        case SceneVerb::Delete:
            svg->add(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"12\" height=\"4\" %s/>\n", x - 6,
                            y - 2, ink));
            break;
        case SceneVerb::Volume:
        case SceneVerb::Mute:
            svg->add(format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"4.5\" %s/>\n", x, y, ink));
            break;
        case SceneVerb::End:
            svg->add(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"3\" height=\"16\" %s/>\n", x - 1.5,
                            y - 8, ink));
            break;
    }
}

void drawRefused(Svg* svg, double x, double y) {
    svg->add(
        format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"7\" fill=\"#fff\" stroke=\"%s\" "
               "stroke-width=\"2.5\"/>\n",
               x, y, kVermillion));
    svg->add(
        format("<path d=\"M%.1f %.1fl7 7M%.1f %.1fl-7 7\" stroke=\"%s\" "
               "stroke-width=\"2.5\"/>\n",
               x - 3.5, y - 3.5, x + 3.5, y - 3.5, kVermillion));
}

// Every command of a lane at the period it takes effect from, with its log line on hover.
void drawMarks(Svg* svg, const TimelineGeometry& g, const TimelineLane& lane, double y) {
    for (const LaneMark& mark : lane.marks) {
        double x = timelineX(g, static_cast<double>(mark.period + 1));
        svg->add("<g><title>" + escape(mark.line) + "</title>\n");
        if (mark.status == SND_OK) {
            drawGlyph(svg, mark.verb, x, y);
        } else {
            drawRefused(svg, x, y);
            svg->add(
                text(x + 10, y + 4, statusText(mark.status),
                     format("font-size=\"10\" font-weight=\"bold\" fill=\"%s\" stroke=\"#fff\" "
                            "stroke-width=\"3\" paint-order=\"stroke\"",
                            kRefusedText)
                         .c_str()));
        }
        svg->add("</g>\n");
    }
}

void drawSpans(Svg* svg, const TimelineGeometry& g, const TimelineLane& lane, double y) {
    const LaneSpan* previous = nullptr;
    for (const LaneSpan& span : lane.spans) {
        double x0 = timelineX(g, static_cast<double>(span.first));
        double x1 = timelineX(g, static_cast<double>(span.last + 1));
        double w = std::max(x1 - x0, 1.0);
        std::string when = format(" (p%llu to p%llu)", static_cast<unsigned long long>(span.first),
                                  static_cast<unsigned long long>(span.last));
        switch (span.state) {
            case LaneState::Stopped:
                break;
            case LaneState::Heard: {
                std::string title = lane.name + " plays, heard" + when;
                if (span.pass > 0)
                    title += format(", pass %llu", static_cast<unsigned long long>(span.pass + 1));
                svg->add(
                    format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"14\" "
                           "fill=\"%s\"><title>%s</title></rect>\n",
                           x0, y - 7, w, kBlue, escape(title).c_str()));
                bool newPass = previous != nullptr && previous->state == LaneState::Heard &&
                               previous->last + 1 == span.first && span.pass != previous->pass;
                if (newPass) {
                    svg->add(
                        format("<rect x=\"%.2f\" y=\"%.1f\" width=\"2\" height=\"14\" "
                               "fill=\"#fff\"/>\n",
                               x0, y - 7));
                    std::string label = format(w >= 44 ? "pass %llu" : "%llu",
                                               static_cast<unsigned long long>(span.pass + 1));
                    if (w >= 12)
                        svg->add(text(x0 + 4, y + 4, label, "font-size=\"10\" fill=\"#fff\""));
                }
                break;
            }
            case LaneState::Unheard:
                svg->add(format(
                    "<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"14\" "
                    "fill=\"url(#noblock)\" stroke=\"%s\"><title>%s</title></rect>\n",
                    x0, y - 7, w, kVermillion,
                    escape(lane.name + " plays, silent: no stream block was free" + when).c_str()));
                break;
            case LaneState::Paused:
                svg->add(
                    format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"7\" "
                           "fill=\"%s\"><title>%s</title></rect>\n",
                           x0, y - 3.5, w, kOrange, escape(lane.name + " paused" + when).c_str()));
                break;
            case LaneState::Alias: {
                std::string what = span.alias.empty()
                                       ? std::string("names a sound made by another NAME")
                                       : "names " + span.alias + "'s sound";
                svg->add(
                    format("<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" "
                           "stroke=\"#666\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\">"
                           "<title>%s</title></line>\n",
                           x0, y, x0 + w, y, escape(lane.name + " " + what + when).c_str()));
                break;
            }
        }
        previous = &span;
    }
}

// Runs of periods with the same volume and mute, from the levels the driver applied.
void drawMaster(Svg* svg, const TimelineGeometry& g, const std::vector<PeriodLevel>& levels) {
    double bottom = g.masterTop + g.masterHeight - 4;
    double full = g.masterHeight - 10;
    size_t i = 0;
    int lastLabelled = -1;
    while (i < levels.size()) {
        size_t j = i;
        while (j + 1 < levels.size() && levels[j + 1].volume == levels[i].volume &&
               levels[j + 1].muted == levels[i].muted)
            ++j;
        double x0 = timelineX(g, static_cast<double>(i));
        double w = timelineX(g, static_cast<double>(j + 1)) - x0;
        std::string when = format(" (p%zu to p%zu)", i, j);
        if (levels[i].muted) {
            svg->add(
                format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" "
                       "fill=\"url(#muted)\" stroke=\"#555\"><title>muted%s</title></rect>\n",
                       x0, bottom - full, w, full, when.c_str()));
            if (w >= 40)
                svg->add(text(x0 + 3, bottom - full / 2 + 4, "muted",
                              "font-size=\"10\" font-weight=\"bold\" fill=\"#000\" "
                              "stroke=\"#fff\" stroke-width=\"3\" paint-order=\"stroke\""));
        } else {
            double h = full * levels[i].volume / 100.0;
            // A light area under a solid top line: the level reads without hiding the markers.
            svg->add(
                format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" "
                       "fill=\"%s\" fill-opacity=\"0.35\"><title>volume %d%s</title>"
                       "</rect>\n",
                       x0, bottom - h, w, h, kGreen, levels[i].volume, when.c_str()));
            svg->add(
                format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"2.5\" "
                       "fill=\"%s\"/>\n",
                       x0, bottom - h, w, kGreen));
            if (w >= 28 && levels[i].volume != lastLabelled && (i > 0 || levels[i].volume != 100))
                svg->add(text(x0 + 9, bottom - 3, format("%d%%", levels[i].volume),
                              "font-size=\"10\" fill=\"#000\" stroke=\"#fff\" "
                              "stroke-width=\"3\" paint-order=\"stroke\""));
            lastLabelled = levels[i].volume;
        }
        i = j + 1;
    }
}

// Marks runs of flagged periods in a band, each at least 3 px wide so that one period shows.
template <typename Flag>
void drawRuns(Svg* svg, const TimelineGeometry& g, const std::vector<PeriodLevel>& levels,
              double top, double height, const char* colour, const char* what, Flag flag) {
    size_t i = 0;
    bool labelled = false;
    while (i < levels.size()) {
        if (!flag(levels[i])) {
            ++i;
            continue;
        }
        size_t j = i;
        uint64_t samples = levels[i].clipped;
        while (j + 1 < levels.size() && flag(levels[j + 1]))
            samples += levels[++j].clipped;
        double x0 = timelineX(g, static_cast<double>(i));
        double x1 = timelineX(g, static_cast<double>(j + 1));
        if (x1 - x0 < 3) {
            double middle = (x0 + x1) / 2;
            x0 = middle - 1.5;
            x1 = middle + 1.5;
        }
        std::string title = format("%s: p%zu to p%zu", what, i, j);
        if (samples > 0)
            title += format(", %llu clipped samples", static_cast<unsigned long long>(samples));
        svg->add(
            format("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\">"
                   "<title>%s</title></rect>\n",
                   x0, top, x1 - x0, height, colour, title.c_str()));
        // The first run says what it is, for a reader who has not found the legend yet.
        if (!labelled)
            svg->add(text(x1 + 3, top + height - 1, what,
                          format("font-size=\"9\" fill=\"%s\"", kRefusedText).c_str()));
        labelled = true;
        i = j + 1;
    }
}

// Peak and RMS per period as bars from the lane's floor, several periods to a column where a
// period is narrower than a pixel.
void drawLevels(Svg* svg, const TimelineGeometry& g, const std::vector<PeriodLevel>& levels) {
    double floor = g.outputTop + g.clipBand + kLevelHeight;
    size_t group = g.pxPerPeriod >= 1 ? 1 : static_cast<size_t>(std::ceil(1 / g.pxPerPeriod));
    std::string peaks, rmses;
    for (size_t i = 0; i < levels.size(); i += group) {
        uint16_t peak = 0, rms = 0;
        for (size_t k = i; k < std::min(levels.size(), i + group); ++k) {
            peak = std::max(peak, levels[k].peak);
            rms = std::max(rms, levels[k].rms);
        }
        double x0 = timelineX(g, static_cast<double>(i));
        double w = timelineX(g, static_cast<double>(std::min(levels.size(), i + group))) - x0;
        double hp = kLevelHeight * peak / 32767.0;
        double hr = kLevelHeight * rms / 32767.0;
        if (hp >= 0.05)
            peaks += format("M%.2f %.2fh%.2fv%.2fh%.2fz", x0, floor, w, -hp, -w);
        if (hr >= 0.05)
            rmses += format("M%.2f %.2fh%.2fv%.2fh%.2fz", x0, floor, w, -hr, -w);
    }
    if (!peaks.empty())
        svg->add(format("<path fill=\"%s\" d=\"", kSky) + peaks +
                 "\"><title>peak of each period</title></path>\n");
    if (!rmses.empty())
        svg->add(format("<path fill=\"%s\" d=\"", kBlue) + rmses +
                 "\"><title>RMS of each period</title></path>\n");
    svg->add(
        format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#888\" "
               "stroke-width=\"0.6\"/>\n",
               g.left, floor, g.right, floor));
}

void drawAxis(Svg* svg, const TimelineGeometry& g, const TimelineRecord& r, uint64_t periods) {
    double seconds = secondsOf(r, periods);
    double secondStep = niceStep(60 / g.pxPerSecond);
    double bottom = g.outputTop + g.outputHeight;
    for (double s = 0; s <= seconds + 1e-9; s += secondStep) {
        double x = g.left + s * g.pxPerSecond;
        svg->add(
            format("<line x1=\"%.2f\" y1=\"66\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"#d0d0d0\" "
                   "stroke-width=\"0.8\"/>\n",
                   x, x, bottom + 4));
        std::string label = format("%g s", s);
        svg->add(text(x, 62, label, "font-size=\"11\" text-anchor=\"middle\" fill=\"#000\""));
        svg->add(text(x, bottom + 16, label, "font-size=\"11\" text-anchor=\"middle\""));
    }
    // The period axis: the log's pK, minor ticks as dense as stay apart.
    double minor = niceStep(5 / g.pxPerPeriod);
    double major = niceStep(70 / g.pxPerPeriod);
    std::string ticks;
    for (double p = 0; p <= static_cast<double>(periods); p += minor)
        ticks += format("M%.2f 88v4", timelineX(g, p));
    svg->add("<path stroke=\"#777\" stroke-width=\"0.7\" d=\"" + ticks + "\"/>\n");
    for (double p = 0; p <= static_cast<double>(periods); p += major) {
        double x = timelineX(g, p);
        svg->add(
            format("<line x1=\"%.2f\" y1=\"86\" x2=\"%.2f\" y2=\"94\" stroke=\"#333\" "
                   "stroke-width=\"0.8\"/>\n",
                   x, x));
        svg->add(text(x, 83, format("p%.0f", p),
                      "font-size=\"9\" text-anchor=\"middle\" fill=\"#555\""));
    }
    svg->add(text(g.left - 10, 62, "time", "font-size=\"11\" text-anchor=\"end\" fill=\"#555\""));
    svg->add(text(g.left - 10, 83, format("period (%u frames)", static_cast<unsigned>(r.frames)),
                  "font-size=\"9\" text-anchor=\"end\" fill=\"#555\""));
}

void laneBackground(Svg* svg, const TimelineGeometry& g, double top, double height, bool shaded,
                    const std::string& label, const std::string& note) {
    double right = g.right;
    if (shaded)
        svg->add(
            format("<rect x=\"0\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" "
                   "fill=\"#f2f2f2\"/>\n",
                   top, right, height));
    double middle = top + height / 2;
    std::string shown = label.size() > 20 ? label.substr(0, 19) + "\xE2\x80\xA6" : label;
    double y = note.empty() ? middle + 4 : middle;
    svg->add("<text x=\"" + format("%.1f", g.left - 10) + "\" y=\"" + format("%.1f", y) +
             "\" font-size=\"12\" text-anchor=\"end\" fill=\"#000\"><title>" + escape(label) +
             "</title>" + escape(shown) + "</text>\n");
    if (!note.empty())
        svg->add(text(g.left - 10, middle + 11, note,
                      "font-size=\"9\" text-anchor=\"end\" fill=\"#555\""));
}

void drawLegend(Svg* svg, const TimelineGeometry& g, bool realTime) {
    double x = 16;
    double y = g.legendTop;
    const char* small = "font-size=\"11\" fill=\"#000\"";
    svg->add(text(x, y, "Sound lanes (kxplay's own tracking of the module's rules)",
                  "font-size=\"11\" font-weight=\"bold\""));
    double cx = x;
    double row = y + 20;
    auto item = [&](const std::string& swatch, double width, const std::string& label) {
        svg->add(swatch);
        svg->add(text(cx + width + 6, row + 4, label, small));
        cx += width + 14 + 6.2 * static_cast<double>(label.size());
    };
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"%s\"/>", cx, row - 7,
                kBlue),
         28, "playing, heard");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"url(#noblock)\" "
                "stroke=\"%s\"/>",
                cx, row - 7, kVermillion),
         28, "playing, silent: all four stream blocks were taken");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"7\" fill=\"%s\"/>", cx,
                row - 3.5, kOrange),
         28, "paused");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"%s\"/>"
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"2\" height=\"14\" fill=\"#fff\"/>",
                cx, row - 7, kBlue, cx + 13, row - 7),
         28, "a loop begins its next pass");
    item(format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#666\" "
                "stroke-width=\"1.5\" stroke-dasharray=\"5 3\"/>",
                cx, row, cx + 28, row),
         28, "another NAME for the same file's sound");

    cx = x;
    row += 26;
    Svg glyphs;
    double gx = cx + 6;
    for (SceneVerb verb : {SceneVerb::Sound, SceneVerb::Play, SceneVerb::Pause, SceneVerb::Stop,
                           SceneVerb::Delete, SceneVerb::Volume, SceneVerb::End}) {
        drawGlyph(&glyphs, verb, gx, row);
        gx += 16;
    }
    item(glyphs.out, gx - cx - 10,
         "command accepted: sound, play, pause, stop, delete, volume or mute, end");
    Svg refused;
    drawRefused(&refused, cx + 7, row);
    item(refused.out, 14, "command refused, with the status it returned");

    cx = x;
    row += 30;
    svg->add(text(x, row - 10, "Master and output lanes (measured at the driver)",
                  "font-size=\"11\" font-weight=\"bold\""));
    row += 8;
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"%s\" "
                "fill-opacity=\"0.35\"/><rect x=\"%.1f\" y=\"%.1f\" width=\"28\" "
                "height=\"2.5\" fill=\"%s\"/>",
                cx, row - 7, kGreen, cx, row - 7, kGreen),
         28, "volume (height: 0 to 100)");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"url(#muted)\" "
                "stroke=\"#555\"/>",
                cx, row - 7),
         28, "muted");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"%s\"/>", cx, row - 7,
                kSky),
         28, "peak of a period");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"14\" fill=\"%s\"/>", cx, row - 7,
                kBlue),
         28, "RMS");
    item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"8\" fill=\"%s\"/>", cx, row - 4,
                kVermillion),
         28, "clipped: the mix saturated");
    if (realTime)
        item(format("<rect x=\"%.1f\" y=\"%.1f\" width=\"28\" height=\"8\" fill=\"%s\"/>", cx,
                    row - 4, kPurple),
             28, "late: the period reached the driver after it was due");

    row += 26;
    svg->add(text(x, row,
                  "A sound's state is what kxplay works out from the module's results and the "
                  "files' lengths: the module reports no state. A command is drawn where it "
                  "takes effect:",
                  small));
    svg->add(text(x, row + 15,
                  "logged as pK, it ran once period K had been handed to the driver and is heard "
                  "from period K+1. Hover over a marker to see its log line.",
                  small));
}

}  // namespace

TimelineGeometry timelineGeometry(uint64_t periods, uint32_t frames, size_t lanes, bool realTime) {
    TimelineGeometry g;
    double seconds = static_cast<double>(std::max<uint64_t>(periods, 1)) *
                     std::max<uint32_t>(frames, 1) / KXPLAY_RATE;
    // A short scene at 100 px a second; a long one fits about 1800 px, but never less than
    // 4 px a second.
    g.pxPerSecond = seconds <= 18 ? 100 : std::max(4.0, 1800 / seconds);
    g.pxPerPeriod = g.pxPerSecond * std::max<uint32_t>(frames, 1) / KXPLAY_RATE;
    g.left = kLabelWidth + 10;
    g.right = g.left + seconds * g.pxPerSecond;
    // Never narrower than the legend.
    g.width = std::max(g.left + seconds * g.pxPerSecond + kRightMargin, kMinWidth);
    g.laneTop = kHeaderHeight;
    g.laneHeight = kLaneHeight;
    g.masterTop = g.laneTop + static_cast<double>(lanes) * kLaneHeight + kGap;
    g.masterHeight = kMasterHeight;
    g.outputTop = g.masterTop + g.masterHeight + kGap;
    g.clipBand = kBandHeight;
    g.lateBand = realTime ? kBandHeight : 0;
    g.outputHeight = g.clipBand + kLevelHeight + g.lateBand;
    g.legendTop = g.outputTop + g.outputHeight + 44;
    g.height = g.legendTop + kLegendHeight;
    return g;
}

double timelineX(const TimelineGeometry& g, double period) {
    return g.left + period * g.pxPerPeriod;
}

double timelineLaneMiddle(const TimelineGeometry& g, size_t lane) {
    return g.laneTop + (static_cast<double>(lane) + 0.5) * g.laneHeight;
}

double timelineClipMiddle(const TimelineGeometry& g) {
    return g.outputTop + g.clipBand / 2;
}

bool writeTimelineSvg(TimelineRecord* record, const std::string& path, std::string* error) {
    const TimelineRecord& r = *record;
    uint64_t periods = timelinePeriods(record);
    std::vector<PeriodLevel> levels;
    {
        std::lock_guard<std::mutex> hold(record->levelLock);
        levels = record->levels;
    }
    TimelineGeometry g = timelineGeometry(periods, r.frames, r.lanes.size(), r.realTime);

    Svg svg;
    svg.add(
        format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\" font-family=\"DejaVu Sans, Verdana, sans-serif\">\n",
               std::ceil(g.width), std::ceil(g.height), std::ceil(g.width), std::ceil(g.height)));
    svg.add(
        format("<defs>\n"
               "<pattern id=\"noblock\" width=\"6\" height=\"6\" "
               "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
               "<rect width=\"6\" height=\"6\" fill=\"#fff\"/>"
               "<rect width=\"2.5\" height=\"6\" fill=\"%s\"/></pattern>\n"
               "<pattern id=\"muted\" width=\"5\" height=\"5\" patternUnits=\"userSpaceOnUse\" "
               "patternTransform=\"rotate(-45)\"><rect width=\"5\" height=\"5\" fill=\"#e0e0e0\"/>"
               "<rect width=\"1.5\" height=\"5\" fill=\"#555\"/></pattern>\n"
               "</defs>\n",
               kVermillion));
    svg.add(format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"#fff\"/>\n", std::ceil(g.width),
                   std::ceil(g.height)));
    svg.add(text(16, 24, r.title.empty() ? std::string("kxplay timeline") : r.title,
                 "font-size=\"16\" font-weight=\"bold\""));
    svg.add(text(16, 42,
                 format("%llu periods of %u frames (%.2f s), %s clock",
                        static_cast<unsigned long long>(periods), static_cast<unsigned>(r.frames),
                        secondsOf(r, periods), r.realTime ? "real-time" : "stepped"),
                 "font-size=\"11\" fill=\"#333\""));

    for (size_t i = 0; i < r.lanes.size(); ++i) {
        const TimelineLane& lane = r.lanes[i];
        std::string note;
        for (const LaneSpan& span : lane.spans)
            if (span.state == LaneState::Alias && !span.alias.empty())
                note = "same sound as " + span.alias;
        laneBackground(&svg, g, g.laneTop + static_cast<double>(i) * g.laneHeight, g.laneHeight,
                       i % 2 == 0, lane.name, note);
    }
    laneBackground(&svg, g, g.masterTop, g.masterHeight, true, "master",
                   "volume, mute, all sounds");
    laneBackground(&svg, g, g.outputTop, g.outputHeight, false, "output",
                   r.realTime ? "clipped, peak/RMS, late" : "clipped, peak/RMS");
    drawAxis(&svg, g, r, periods);

    for (size_t i = 0; i < r.lanes.size(); ++i)
        drawSpans(&svg, g, r.lanes[i], timelineLaneMiddle(g, i));
    drawMaster(&svg, g, levels);
    drawLevels(&svg, g, levels);
    drawRuns(&svg, g, levels, g.outputTop + 1, g.clipBand - 2, kVermillion, "clipped",
             [](const PeriodLevel& l) { return l.clipped > 0; });
    if (r.realTime)
        drawRuns(&svg, g, levels, g.outputTop + g.clipBand + kLevelHeight + 1, g.lateBand - 2,
                 kPurple, "late", [](const PeriodLevel& l) { return l.late; });
    for (size_t i = 0; i < r.lanes.size(); ++i)
        drawMarks(&svg, g, r.lanes[i], timelineLaneMiddle(g, i));
    drawMarks(&svg, g, r.master, g.masterTop + g.masterHeight / 2);
    drawLegend(&svg, g, r.realTime);
    svg.add("</svg>\n");

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (file)
        file.write(svg.out.data(), static_cast<std::streamsize>(svg.out.size()));
    file.close();
    if (!file) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kx
