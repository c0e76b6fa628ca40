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

// Where each reader of one run starts on its run's time axis: seconds
// since the run's first start.
struct Placement {
  std::vector<std::optional<double>> offset;  // empty: never started
  double extent = 1;                          // the axis length in seconds
};

double RecordLength(const Json& r) {
  double length = Number(r, field::kSeconds).value_or(0);
  const auto phases = r.find(field::kPhases);
  if (phases != r.end() && phases->is_array() && !phases->empty()) {
    length = std::max(length, Number(phases->back(), field::kEnd).value_or(0));
  }
  return length;
}

Placement Place(const std::vector<const Json*>& records) {
  Placement p;
  std::optional<double> first;
  for (const Json* r : records) {
    const auto start = IsoSeconds(Text(*r, field::kStartTime));
    if (start && (!first || *start < *first)) first = start;
  }
  for (const Json* r : records) {
    const auto start = IsoSeconds(Text(*r, field::kStartTime));
    if (!start) {
      p.offset.emplace_back();
      continue;
    }
    const double offset = *start - *first;
    p.offset.emplace_back(offset);
    p.extent = std::max(p.extent, offset + RecordLength(*r));
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

// Whether a record's reader was updated or tried (not left alone after its
// version read, nor never started): what makes its wave worth a line.
bool Worked(const Json& r) {
  const std::string outcome = Text(r, field::kOutcome);
  return outcome != OutcomeName(Outcome::kAlreadyCurrent) &&
         outcome != OutcomeName(Outcome::kNewerThanImage) &&
         outcome != OutcomeName(Outcome::kNotStarted);
}

// The least space between two wave labels ("wave 12" is about 40 px).
constexpr double kWaveLabelGap = 48;

// Vertical lines where each wave after the first began, for the waves that
// updated a reader: waves of modules left alone start all at once, and
// their labels would lie on one another. A label too near the one before
// is left out; its line keeps the wave's name as its title.
std::string WaveLines(const std::vector<const Json*>& records,
                      const Placement& p, double scale, double height) {
  std::map<long long, std::pair<double, bool>> waves;  // start, worked
  for (size_t i = 0; i < records.size(); ++i) {
    const auto wave = Number(*records[i], field::kWave);
    if (!wave || !p.offset[i]) continue;
    const auto key = static_cast<long long>(*wave);
    const auto it =
        waves.try_emplace(key, std::make_pair(*p.offset[i], false)).first;
    it->second.first = std::min(it->second.first, *p.offset[i]);
    it->second.second = it->second.second || Worked(*records[i]);
  }
  std::string svg;
  double lastLabel = -kWaveLabelGap;
  for (auto it = waves.begin(); it != waves.end(); ++it) {
    if (it == waves.begin() || !it->second.second) continue;
    const double at = kLabelWidth + it->second.first * scale;
    const std::string x = Px(at);
    const std::string name = "wave " + std::to_string(it->first);
    svg += "<g class=\"wave\"><title>" + name + "</title><line x1=\"" + x +
           "\" x2=\"" + x + "\" y1=\"" + Px(kTop - 4) + "\" y2=\"" +
           Px(height) + "\"/>";
    if (at - lastLabel >= kWaveLabelGap) {
      svg += "<text x=\"" + x + "\" y=\"" + Px(kTop - 20) + "\">" + name +
             "</text>";
      lastLabel = at;
    }
    svg += "</g>";
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
    std::string line = FailureLine(r);
    if (line.empty()) line = outcome;
    const double x = std::max(kLabelWidth + (*offset + RecordLength(r)) * scale,
                              kLabelWidth + 4);
    svg += "<path class=\"fail\" d=\"M" + Px(x - 4) + " 1l8 12m0-12l-8 12\">" +
           "<title>" + EscapeHtml(line) + "</title></path>";
  }
  return svg + "</g>";
}

struct VersionCount {
  std::string version;
  int before = 0;
  int after = 0;
};

// Whether the run changed or meant to change modules, so that their
// versions after it are worth a count: some version read after an update,
// or a module left alone as current or newer.
bool HasAfter(const std::vector<Json>& records) {
  return std::any_of(records.begin(), records.end(), [](const Json& r) {
    const std::string outcome = Text(r, field::kOutcome);
    return !Text(r, field::kVersionAfter).empty() ||
           outcome == OutcomeName(Outcome::kAlreadyCurrent) ||
           outcome == OutcomeName(Outcome::kNewerThanImage);
  });
}

std::vector<VersionCount> CountVersions(const std::vector<Json>& records) {
  std::map<std::tuple<int, int, int, int, std::string>, VersionCount> counts;
  const bool withAfter = HasAfter(records);
  for (const Json& r : records) {
    const std::string before = Text(r, field::kVersionBefore);
    const std::string after = withAfter ? VersionAfter(r) : "";
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

namespace {

// The timeline of one run's records on an axis of its own; `id` the svg's
// (timeline-svg for the first run).
std::string RunTimeline(const std::vector<const Json*>& records,
                        const std::string& id) {
  const Placement p = Place(records);
  const double scale = kPlotWidth / p.extent;
  const double height =
      kTop + kRowHeight * static_cast<double>(records.size()) + 4;
  const std::string width = Px(kLabelWidth + kPlotWidth + 20);
  std::string svg = "<svg id=\"" + id + "\" class=\"timeline\" width=\"" +
                    width + "\" height=\"" + Px(height) + "\" viewBox=\"0 0 " +
                    width + " " + Px(height) +
                    "\" role=\"img\" aria-label=\"Timeline of " +
                    std::to_string(records.size()) + " readers\">";
  svg += Axis(p.extent, scale, height);
  for (size_t i = 0; i < records.size(); ++i) {
    svg += Row(*records[i], p.offset[i], scale,
               kTop + kRowHeight * static_cast<double>(i));
  }
  return svg + WaveLines(records, p, scale, height) + "</svg>";
}

// A run's heading in a merge: its folder, its site and its first start.
std::string RunHeading(const std::vector<const Json*>& records) {
  const Json& first = *records.front();
  std::string start;
  for (const Json* r : records) {
    const std::string s = Text(*r, field::kStartTime);
    if (!s.empty() && (start.empty() || s < start)) start = s;
  }
  const std::string run = Text(first, field::kRun);
  const std::string site = Text(first, field::kSite);
  std::string text = "<h3 class=\"run\">" +
                     EscapeHtml(Shorten(run.empty() ? "(no run)" : run, 60));
  if (!site.empty() && site != run) {
    text += ", site " + EscapeHtml(Shorten(site, 60));
  }
  text += start.empty() ? std::string(", not started")
                        : ", from " + EscapeHtml(start);
  return text + "</h3>";
}

}  // namespace

std::string TimelineSection(const std::vector<Json>& records) {
  std::vector<std::string> runs;
  std::map<std::string, std::vector<const Json*>> byRun;
  for (const Json& r : records) {
    const std::string run = Text(r, field::kRun);
    auto& list = byRun[run];
    if (list.empty()) runs.push_back(run);
    list.push_back(&r);
  }
  if (runs.size() <= 1) {
    std::vector<const Json*> all;
    for (const Json& r : records) all.push_back(&r);
    return "<div class=\"scroll\">" + RunTimeline(all, "timeline-svg") +
           "</div>";
  }
  std::string html;
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string id =
        i == 0 ? "timeline-svg" : "timeline-svg-" + std::to_string(i + 1);
    html += RunHeading(byRun[runs[i]]) + "<div class=\"scroll\">" +
            RunTimeline(byRun[runs[i]], id) + "</div>";
  }
  return html;
}

}  // namespace modflash::fleet::html
