#include "fleet/html/html_report.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "fleet/html/html_sections.h"
#include "fleet/report/report.h"
#include "fleet/transcript/phase_log.h"

namespace modflash::fleet {
namespace html {

std::optional<double> IsoSeconds(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d",
                                       &y, &mo, &d, &h, &mi, &s) != 6) {
    return std::nullopt;
  }
  // Days from the civil date (proleptic Gregorian), so that a run over
  // midnight or a month's end still measures right.
  y -= mo <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const double days = era * 146097.0 + doe;
  return days * 86400 + h * 3600 + mi * 60 + s;
}

std::optional<double> Number(const Json& record, const char* field) {
  const auto it = record.find(field);
  if (it == record.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

std::string Clock(double seconds) {
  const long long total = std::llround(std::max(seconds, 0.0));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600,
                  total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

bool IsFailure(const std::string& outcome) {
  return outcome == OutcomeName(Outcome::kFailed) ||
         outcome == OutcomeName(Outcome::kNoModuleAnswer) ||
         outcome == OutcomeName(Outcome::kUnreachable);
}

std::string FailedPhase(const Json& record) {
  if (!IsFailure(Text(record, field::kOutcome))) return "";
  const std::string recorded = Text(record, field::kFailurePhase);
  if (!recorded.empty()) return recorded;
  const auto phases = record.find(field::kPhases);
  if (phases == record.end() || !phases->is_array() || phases->empty()) {
    return "";
  }
  return Text(phases->back(), field::kPhase);
}

}  // namespace html

namespace {

using html::Clock;
using html::FailedPhase;
using html::IsFailure;
using html::Number;

// The style sheet. Colours come from --c: one per outcome, one per phase.
const char kStyle[] = R"(
body{font:14px/1.45 system-ui,"Segoe UI",Roboto,Helvetica,Arial,sans-serif;
 margin:0 24px 40px;color:#222;background:#fff}
h1{font-size:22px;margin:18px 0 10px}
h2{font-size:17px;margin:28px 0 8px;border-bottom:1px solid #ddd;
 padding-bottom:4px}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:2px 16px;
 margin:0}
dl.facts dt{color:#555}dl.facts dd{margin:0;overflow-wrap:anywhere}
code{font:12px ui-monospace,Consolas,monospace;background:#f3f3f3;
 padding:1px 4px;border-radius:3px;overflow-wrap:anywhere}
.tiles{display:flex;flex-wrap:wrap;gap:10px;margin:14px 0}
.tile{min-width:110px;padding:8px 14px;border-radius:6px;color:#fff;
 background:var(--c)}
.tile b{display:block;font-size:26px;line-height:1.2}
.o-updated,.o-dry-run-ok,.o-already-current,.o-answered{--c:#2e7d32}
.o-failed{--c:#c62828}.o-no-module-answer{--c:#e65100}
.o-unreachable{--c:#ad1457}.o-newer-than-image{--c:#1565c0}.o-not-started,.o-other,.o-unknown{--c:#757575}
.o-total{--c:#37474f}
.p-connect-probe{--c:#8da0cb}.p-baud-rate{--c:#66c2a5}
.p-restart-wait{--c:#f2c14e}.p-transfer{--c:#3b6fb6}
.p-post-update-wait{--c:#f08a4b}.p-verify{--c:#4caf50}
.p-none{--c:#b0b0b0}.p-other{--c:#c9a0c8}
.before{--c:#8da0cb}.after{--c:#2e7d32}
.legend{list-style:none;display:flex;flex-wrap:wrap;gap:4px 16px;
 padding:0;margin:6px 0}
.legend i{display:inline-block;width:12px;height:12px;margin-right:5px;
 vertical-align:-1px;background:var(--c)}
.scroll{overflow-x:auto}
svg text{font-size:11px;fill:#333}
svg rect{fill:var(--c)}
.timeline .name,.versions .name{text-anchor:end}
.timeline .idle{fill:#888;font-style:italic}
.row:hover{opacity:.75}
.axis line{stroke:#e6e6e6}.axis text{text-anchor:middle;fill:#777}
.wave line{stroke:#444;stroke-dasharray:4 3}
.wave text{fill:#444;text-anchor:middle;font-weight:600}
.fail{stroke:#b71c1c;stroke-width:2.4;fill:none}.fail-key{color:#b71c1c}
table{border-collapse:collapse;width:100%}
table.sites{width:auto;margin-top:8px}
th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #eee;
 vertical-align:top;overflow-wrap:break-word}
td.f{overflow-wrap:anywhere;min-width:14em}
#reader-table td:first-child{overflow-wrap:anywhere;min-width:9em}
.actions{margin:14px 0 4px;padding:8px 14px;border-left:6px solid #c62828;
 background:#fdecea}
.actions p{margin:4px 0}.actions .urgent b{color:#b71c1c;font-size:16px}
.actions code{display:inline-block;font-size:13px}
.verdict{font-size:16px}
h3.run{font-size:15px;margin:16px 0 4px;overflow-wrap:anywhere}
th{background:#f4f4f4;position:sticky;top:0;cursor:pointer;
 white-space:nowrap}
th[aria-sort=ascending]::after{content:" \25B2"}
th[aria-sort=descending]::after{content:" \25BC"}
td small{display:block;color:#666}td.n{white-space:nowrap}
.badge{color:#fff;background:var(--c);border-radius:3px;padding:0 6px;
 white-space:nowrap}
.controls{margin:8px 0;display:flex;flex-wrap:wrap;gap:10px;
 align-items:center}
footer{margin-top:24px;color:#777;font-size:12px}
)";

// Sorting and filtering of the reader table, and the page's own drawing
// time (the load event, after a forced layout) on the footer.
const char kScript[] = R"(
(function () {
  var table = document.getElementById('reader-table');
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var filter = document.getElementById('filter');
  var outcome = document.getElementById('outcome-filter');
  var shown = document.getElementById('shown');
  document.getElementById('controls').hidden = false;
  function apply() {
    var q = filter.value.toLowerCase(), o = outcome.value, n = 0;
    rows.forEach(function (r) {
      var text = r.textContent + ' ' + (r.cells[0].title || '');
      var ok = (!o || r.getAttribute('data-outcome') === o) &&
          (!q || text.toLowerCase().indexOf(q) >= 0);
      r.hidden = !ok;
      if (ok) n++;
    });
    shown.textContent = n + ' of ' + rows.length + ' readers shown';
  }
  filter.addEventListener('input', apply);
  outcome.addEventListener('change', apply);
  var heads = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(heads, function (th, col) {
    th.addEventListener('click', function () {
      var up = th.getAttribute('aria-sort') !== 'ascending';
      Array.prototype.forEach.call(heads, function (h) {
        h.removeAttribute('aria-sort');
      });
      th.setAttribute('aria-sort', up ? 'ascending' : 'descending');
      function key(r) {
        var c = r.cells[col], v = c.getAttribute('data-sort');
        return v === null ? c.textContent : v;
      }
      var numeric = th.hasAttribute('data-numeric');
      rows.sort(function (a, b) {
        var x = key(a), y = key(b), d = numeric ?
            (parseFloat(x) || 0) - (parseFloat(y) || 0) :
            x.localeCompare(y, undefined, {numeric: true});
        return up ? d : -d;
      });
      rows.forEach(function (r) { body.appendChild(r); });
    });
  });
  apply();
  window.addEventListener('load', function () {
    void document.body.offsetHeight;
    var footer = document.getElementById('footer'), tallest = 0;
    footer.setAttribute('data-render-ms', String(Math.round(performance.now())));
    footer.setAttribute('data-page-width',
        String(document.documentElement.clientWidth));
    footer.setAttribute('data-table-width', String(table.offsetWidth));
    rows.forEach(function (r) { tallest = Math.max(tallest, r.offsetHeight); });
    footer.setAttribute('data-tallest-row', String(tallest));
  });
})();
)";

const char kPage[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'nonce-@NONCE@'; script-src 'nonce-@NONCE@'; base-uri 'none'; form-action 'none'">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<style nonce="@NONCE@">@STYLE@</style>
</head>
<body>
@ACTIONS@
@HEADER@
@SUMMARY@
@TIMELINE@
@VERSIONS@
@READERS@
@FOOTER@
<script nonce="@NONCE@">@SCRIPT@</script>
</body>
</html>
)";

// The template with each @NAME@ replaced in one pass, so that no inserted
// text is ever read as a placeholder.
std::string Fill(const std::string& page,
                 const std::map<std::string, std::string>& values) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    const size_t at = page.find('@', pos);
    const size_t end = at == std::string::npos ? at : page.find('@', at + 1);
    if (end == std::string::npos) return out + page.substr(pos);
    const auto it = values.find(page.substr(at + 1, end - at - 1));
    if (it == values.end()) {
      out += page.substr(pos, at + 1 - pos);
      pos = at + 1;
      continue;
    }
    out += page.substr(pos, at - pos) + it->second;
    pos = end + 1;
  }
}

// A fresh value for the policy's nonce: only the page's own style sheet
// and script run, whatever a record's text might hold.
std::string Nonce() {
  std::random_device device;
  std::mt19937_64 random(
      (static_cast<uint64_t>(device()) << 32) ^ device() ^
      static_cast<uint64_t>(
          std::chrono::steady_clock::now().time_since_epoch().count()));
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%016llx",
                static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return text;
}

}  // namespace

std::string EscapeHtml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
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
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace modflash::fleet

namespace modflash::fleet {
namespace {

// An audit of more readers than this gets no timeline: its reads take a
// second or two each, and a thousand rows of short bars say nothing that
// the table's durations do not.
constexpr size_t kAuditTimelineMost = 200;

std::string TimelineBlock(const Json& run, const std::vector<Json>& records) {
  if (html::IsAudit(run, records) && records.size() > kAuditTimelineMost) {
    return "<section id=\"timeline\"><h2>Timeline</h2><p>None for an audit "
           "of " +
           std::to_string(records.size()) + " readers (more than " +
           std::to_string(kAuditTimelineMost) +
           "): the table gives each reader's duration.</p></section>";
  }
  std::string legend = "<ul class=\"legend\">";
  for (const output::TimelinePhase& phase : output::kTimeline) {
    legend += "<li><i class=\"p-" + std::string(phase.name) + "\"></i>" +
              phase.name + "</li>";
  }
  legend +=
      "<li><i class=\"p-none\"></i>phases not recorded</li>"
      "<li><span class=\"fail-key\">\u2716</span> failure: point at it "
      "for its line</li></ul>";
  return "<section id=\"timeline\"><h2>Timeline</h2>" + legend +
         html::TimelineSection(records) + "</section>";
}

std::string VersionsBlock(const Json& run, const std::vector<Json>& records) {
  if (html::IsAudit(run, records)) return "";  // the audit's own counts
  const std::string chart = html::VersionsSection(records);
  if (chart.empty()) return "";
  return "<section id=\"versions\"><h2>Module versions</h2>"
         "<ul class=\"legend\"><li><i class=\"before\"></i>before</li>"
         "<li><i class=\"after\"></i>after: read after the update, or as "
         "read before when the module was left as it was</li></ul>"
         "<div class=\"scroll\">" +
         chart + "</div></section>";
}

}  // namespace

std::string RenderHtmlReport(const Json& run, const std::vector<Json>& records,
                             const std::string& folder) {
  const std::string title =
      "modflash-fleet: " + html::KindTitle(run) + " " +
      (run.is_object() ? Text(run, run_key::kStartTime) : "");
  const std::string footer =
      "<footer id=\"footer\">Written by modflash-fleet " +
      std::string(FleetVersion()) + " at " + LocalTimeNow() +
      ". Log links are relative: keep this page in its folder.</footer>";
  return Fill(
      kPage, {{"NONCE", Nonce()},
              {"TITLE", EscapeHtml(title)},
              {"STYLE", kStyle},
              {"ACTIONS", html::ActionsSection(run, records, folder)},
              {"HEADER", html::HeaderSection(run, records)},
              {"SUMMARY", html::AuditSection(run, records)},
              {"TIMELINE", TimelineBlock(run, records)},
              {"VERSIONS", VersionsBlock(run, records)},
              {"READERS",
               html::ReadersSection(records, html::ImageVersion(run, records))},
              {"FOOTER", footer},
              {"SCRIPT", kScript}});
}

bool WriteHtmlReport(const std::string& folder, const Json& run,
                     const std::vector<Json>& records, std::string& error,
                     const std::string& retryFolder) {
  const std::string path = folder + "/report.html";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << RenderHtmlReport(run, records,
                          retryFolder.empty() ? folder : retryFolder);
  out.close();
  if (!out) error = "cannot write " + path;
  return static_cast<bool>(out);
}

bool WriteRunSummary(const std::string& folder, const RunDescription& run,
                     const std::vector<ReaderRecord>& records,
                     std::string& error) {
  std::vector<Json> objects;
  for (const ReaderRecord& r : records) objects.push_back(RecordJson(r));
  const Json info = RunInfo(run, objects);
  if (!WriteJsonFile(folder + "/run.json", info)) {
    error = "cannot write " + folder + "/run.json";
    return false;
  }
  return WriteHtmlReport(folder, AsWritten(info), objects, error);
}

}  // namespace modflash::fleet
