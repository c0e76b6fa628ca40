// The drawings of the report page: inline SVG, drawn here, no library.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

#include "fleet/html/html_report.h"
#include "fleet/html/html_sections.h"
#include "fleet/report/fields.h"
#include "fleet/text/text.h"

namespace modflash::fleet::html {
namespace {

constexpr double kLabelWidth = 220;  // reader names, right-aligned
constexpr double kPlotWidth = 760;
constexpr double kRowHeight = 14;
constexpr double kTop = 30;  // the time axis above the rows

// A coordinate or size in the page, to a tenth of a pixel.
std::string Px(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string s = text;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0)
    s.resize(s.size() - 2);
  return s;
}

// At most `chars` characters (not bytes) of UTF-8 text, "…" when cut.
std::string Shorten(const std::string& text, size_t chars) {
  return TextWidth(text) > chars ? CutText(text, chars) + "\u2026" : text;
}

// The class of a phase's bar: its name when it is a plain name.
std::string PhaseClass(const std::string& phase) {
  const bool plain = !phase.empty() && phase.size() < 32 &&
                     phase.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") ==
                         std::string::npos;
  return "p-" + (plain ? phase : std::string("other"));
}

std::string OutcomeClass(const std::string& outcome) {
  const bool plain = !outcome.empty() && outcome.size() < 32 &&
                     outcome.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") ==
                         std::string::npos;
  return "o-" + (plain ? outcome : std::string("other"));
}

// Where each reader's run starts on the common time axis: seconds since the
// first start of the same run (records of a merge keep their run's own
// clock, so runs days apart still share one axis).
struct Placement {
  std::vector<std::optional<double>> offset;  // empty: never started
  double extent = 1;                          // the axis length in seconds
  bool oneRun = true;
};

double RecordLength(const Json& r) {
  double length = Number(r, field::kSeconds).value_or(0);
  const auto phases = r.find(field::kPhases);
  if (phases != r.end() && phases->is_array() && !phases->empty()) {
    length = std::max(length, Number(phases->back(), field::kEnd).value_or(0));
  }
  return length;
}

Placement Place(const std::vector<Json>& records) {
  Placement p;
  std::map<std::string, double> runStart;
  for (const Json& r : records) {
    const auto start = IsoSeconds(Text(r, field::kStartTime));
    if (!start) continue;
    const std::string run = Text(r, field::kRun);
    const auto it = runStart.find(run);
    if (it == runStart.end() || *start < it->second) runStart[run] = *start;
  }
  p.oneRun = runStart.size() <= 1;
  for (const Json& r : records) {
    const auto start = IsoSeconds(Text(r, field::kStartTime));
    if (!start) {
      p.offset.emplace_back();
      continue;
    }
    const double offset = *start - runStart[Text(r, field::kRun)];
    p.offset.emplace_back(offset);
    p.extent = std::max(p.extent, offset + RecordLength(r));
  }
  return p;
}

// A tick step that gives at most about ten ticks over `extent` seconds.
double TickStep(double extent) {
  static const double kSteps[] = {1,    2,    5,     10,    15,    30,
                                  60,   120,  300,   600,   900,   1800,
                                  3600, 7200, 10800, 21600, 43200, 86400};
  for (const double step : kSteps) {
    if (extent / step <= 10) return step;
  }
  return std::ceil(extent / 10 / 86400) * 86400;
}

std::string Axis(double extent, double scale, double height) {
  std::string svg = "<g class=\"axis\">";
  const double step = TickStep(extent);
  for (double t = 0; t <= extent + 1e-9; t += step) {
    const std::string x = Px(kLabelWidth + t * scale);
    svg += "<line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" + Px(kTop - 6) +
           "\" y2=\"" + Px(height) + "\"/><text x=\"" + x + "\" y=\"" +
           Px(kTop - 10) + "\">" + Clock(t) + "</text>";
  }
  return svg + "</g>";
}

// Vertical lines where each wave after the first began.
std::string WaveLines(const std::vector<Json>& records, const Placement& p,
                      double scale, double height) {
  std::map<long long, double> waveStart;
  for (size_t i = 0; i < records.size(); ++i) {
    const auto wave = Number(records[i], field::kWave);
    if (!wave || !p.offset[i]) continue;
    const auto key = static_cast<long long>(*wave);
    const auto it = waveStart.find(key);
    if (it == waveStart.end() || *p.offset[i] < it->second) {
      waveStart[key] = *p.offset[i];
    }
  }
  std::string svg;
  for (auto it = waveStart.begin(); it != waveStart.end(); ++it) {
    if (it == waveStart.begin()) continue;
    const std::string x = Px(kLabelWidth + it->second * scale);
    svg += "<g class=\"wave\"><line x1=\"" + x + "\" x2=\"" + x + "\" y1=\"" +
           Px(kTop - 4) + "\" y2=\"" + Px(height) + "\"/><text x=\"" + x +
           "\" y=\"" + Px(kTop - 20) + "\">wave " + std::to_string(it->first) +
           "</text></g>";
  }
  return svg;
}

// The bars of one started reader: its phases, or one bar without them.
std::string Bars(const Json& r, double offset, double scale) {
  std::string svg;
  const auto bar = [&](const std::string& cls, double from, double to) {
    svg += "<rect class=\"" + cls + "\" x=\"" +
           Px(kLabelWidth + (offset + from) * scale) + "\" y=\"2\" width=\"" +
           Px(std::max((to - from) * scale, 0.5)) + "\" height=\"10\"/>";
  };
  const auto phases = r.find(field::kPhases);
  if (phases != r.end() && phases->is_array() && !phases->empty()) {
    for (const Json& p : *phases) {
      if (!p.is_object()) continue;
      bar(PhaseClass(Text(p, field::kPhase)),
          Number(p, field::kStart).value_or(0),
          Number(p, field::kEnd).value_or(0));
    }
  } else {
    bar("p-none", 0, Number(r, field::kSeconds).value_or(0));
  }
  return svg;
}

std::string Row(const Json& r, std::optional<double> offset, double scale,
                double y) {
  const std::string name = Text(r, field::kName);
  const std::string outcome = Text(r, field::kOutcome);
  std::string title = name + ": " + (outcome.empty() ? "?" : outcome);
  if (offset) title += ", " + Clock(RecordLength(r));
  const std::string phase = FailedPhase(r);
  if (!phase.empty()) title += ", in " + phase;
  std::string svg = "<g class=\"row " + OutcomeClass(outcome) +
                    "\" transform=\"translate(0," + Px(y) + ")\"><title>" +
                    EscapeHtml(title) + "</title><text class=\"name\" x=\"" +
                    Px(kLabelWidth - 6) + "\" y=\"11\">" +
                    EscapeHtml(Shorten(name, 30)) + "</text>";
  if (!offset) {
    return svg + "<text class=\"idle\" x=\"" + Px(kLabelWidth + 4) +
           "\" y=\"11\">" + EscapeHtml(outcome) + "</text></g>";
  }
  svg += Bars(r, *offset, scale);
  if (IsFailure(outcome)) {
    std::string line = Text(r, field::kFailureLine);
    if (line.empty()) line = outcome;
    const double x = std::max(kLabelWidth + (*offset + RecordLength(r)) * scale,
                              kLabelWidth + 4);
    svg += "<path class=\"fail\" d=\"M" + Px(x - 4) + " 1l8 12m0-12l-8 12\">" +
           "<title>" + EscapeHtml(line) + "</title></path>";
  }
  return svg + "</g>";
}

// Orders "V1.10.0" after "V1.9.0"; text that is no version after those.
std::tuple<int, int, int, int, std::string> VersionKey(const std::string& v) {
  int major = 0;
  int minor = 0;
  int patch = 0;
  char rest = 0;
  const bool parsed =
      std::sscanf(v.c_str(), "V%d.%d.%d%c", &major, &minor, &patch, &rest) == 3;
  return parsed ? std::make_tuple(0, major, minor, patch, std::string())
                : std::make_tuple(1, 0, 0, 0, v);
}

struct VersionCount {
  std::string version;
  int before = 0;
  int after = 0;
};

std::vector<VersionCount> CountVersions(const std::vector<Json>& records) {
  std::map<std::tuple<int, int, int, int, std::string>, VersionCount> counts;
  for (const Json& r : records) {
    const std::string before = Text(r, field::kVersionBefore);
    const std::string after = Text(r, field::kVersionAfter);
    if (!before.empty()) {
      VersionCount& c = counts[VersionKey(before)];
      c.version = before;
      ++c.before;
    }
    if (!after.empty()) {
      VersionCount& c = counts[VersionKey(after)];
      c.version = after;
      ++c.after;
    }
  }
  std::vector<VersionCount> list;
  for (const auto& entry : counts) list.push_back(entry.second);
  return list;
}

}  // namespace

std::string VersionsSection(const std::vector<Json>& records) {
  const std::vector<VersionCount> counts = CountVersions(records);
  if (counts.empty()) return "";
  int most = 1;
  bool anyAfter = false;
  for (const VersionCount& c : counts) {
    most = std::max({most, c.before, c.after});
    anyAfter = anyAfter || c.after > 0;
  }
  const double barWidth = 480.0 / most;
  const double group = anyAfter ? 30 : 18;
  const double height = group * static_cast<double>(counts.size()) + 6;
  std::string svg = "<svg class=\"versions\" width=\"700\" height=\"" +
                    Px(height) + "\" viewBox=\"0 0 700 " + Px(height) +
                    "\" role=\"img\" aria-label=\"Module versions\">";
  double y = 4;
  for (const VersionCount& c : counts) {
    svg += "<g class=\"version\" transform=\"translate(0," + Px(y) +
           ")\"><text class=\"name\" x=\"114\" y=\"" + Px(anyAfter ? 17 : 11) +
           "\">" + EscapeHtml(Shorten(c.version, 16)) + "</text>";
    const auto bar = [&](const char* cls, int count, double top) {
      if (count == 0) return;
      const double w = std::max(barWidth * count, count > 0 ? 1.0 : 0.0);
      svg += "<rect class=\"" + std::string(cls) + "\" x=\"120\" y=\"" +
             Px(top) + "\" width=\"" + Px(w) + "\" height=\"12\"><title>" +
             cls + " " + EscapeHtml(c.version) + ": " + std::to_string(count) +
             "</title></rect><text x=\"" + Px(124 + w) + "\" y=\"" +
             Px(top + 10) + "\">" + std::to_string(count) + "</text>";
    };
    bar("before", c.before, 0);
    if (anyAfter) bar("after", c.after, 13);
    svg += "</g>";
    y += group;
  }
  return svg + "</svg>";
}

std::string TimelineSection(const std::vector<Json>& records) {
  const Placement p = Place(records);
  const double scale = kPlotWidth / p.extent;
  const double height =
      kTop + kRowHeight * static_cast<double>(records.size()) + 4;
  const std::string width = Px(kLabelWidth + kPlotWidth + 20);
  std::string svg = "<svg id=\"timeline-svg\" class=\"timeline\" width=\"" +
                    width + "\" height=\"" + Px(height) + "\" viewBox=\"0 0 " +
                    width + " " + Px(height) +
                    "\" role=\"img\" aria-label=\"Timeline of " +
                    std::to_string(records.size()) + " readers\">";
  svg += Axis(p.extent, scale, height);
  for (size_t i = 0; i < records.size(); ++i) {
    svg += Row(records[i], p.offset[i], scale,
               kTop + kRowHeight * static_cast<double>(i));
  }
  if (p.oneRun) svg += WaveLines(records, p, scale, height);
  return svg + "</svg>";
}

}  // namespace modflash::fleet::html
