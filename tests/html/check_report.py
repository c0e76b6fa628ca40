#!/usr/bin/env python3
"""Checks a fleet report page as Chromium drew it (its --dump-dom output)
against the run folder's report.csv, and what the browser fetched (its
netlog and console). Used by scripts/test-html.

  check_report.py page FOLDER DOM NETLOG CONSOLE
      every reader named once in the table and the timeline, the tiles'
      counts equal to report.csv's, a timeline row per reader, each failed
      reader's row with its failure line, log links to files that exist,
      no script but the page's own, no request and no console message.
  check_report.py plain FOLDER DOM
      the page with its script blocked: every reader in the table and the
      timeline, the script's controls still hidden.
  check_report.py requests NETLOG
      prints the number of requests pages made (for the control page).
  check_report.py timing PAGE DOM BUDGET_MS FACTOR
      prints the page's size and the drawing time the page measured
      itself; fails over 2 MB or over FACTOR times BUDGET_MS.
  check_report.py actions FOLDER DOM COMMAND
      what to do comes first: the count of modules that may lack firmware
      and of the other failures, as report.csv has them, each with COMMAND
      (the --retry command line); none when all went well.
  check_report.py fits DOM
      the reader table as the page measured it: no wider than the window,
      no row taller than a few lines.
  check_report.py audit FOLDER DOM IMAGE_VERSION
      an audit of many readers: no timeline rows, a current column, and the
      counts of each version, of who needs the update and who is newer,
      equal to report.csv's.
  check_report.py merge FOLDER DOM
      a merge: a timeline of its own per run, each with a row per record of
      that run; wave labels only for waves that updated or tried a reader,
      and none over another.
"""
import collections
import csv
import html.parser
import json
import os
import sys
import urllib.parse


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.children = []

    def text(self):
        return "".join(c if isinstance(c, str) else c.text() for c in self.children)

    def own_text(self):
        """Text of this element without that of its child elements."""
        return "".join(c for c in self.children if isinstance(c, str))

    def matches(self, tag, attrs):
        if tag is not None and self.tag != tag:
            return False
        for name, value in attrs.items():
            have = self.attrs.get(name.rstrip("_"))
            if have is None or (value not in have.split() if name == "class_"
                                else have != value):
                return False
        return True

    def find_all(self, tag=None, **attrs):
        """Descendants with the tag and attributes (class_: one of the
        classes), in document order."""
        for c in self.children:
            if isinstance(c, str):
                continue
            if c.matches(tag, attrs):
                yield c
            yield from c.find_all(tag, **attrs)


class TreeBuilder(html.parser.HTMLParser):
    VOID = {"meta", "link", "br", "input", "img", "hr", "col", "wbr", "source"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = self.node = Node("#document", [], None)

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.node)
        self.node.children.append(node)
        if tag not in self.VOID:
            self.node = node

    def handle_startendtag(self, tag, attrs):
        self.node.children.append(Node(tag, attrs, self.node))

    def handle_endtag(self, tag):
        node = self.node
        while node is not None and node.tag != tag:
            node = node.parent
        if node is not None and node.parent is not None:
            self.node = node.parent

    def handle_data(self, data):
        self.node.children.append(data)


def parse(path):
    builder = TreeBuilder()
    with open(path, encoding="utf-8") as f:
        builder.feed(f.read())
    return builder.root


def page_requests(netlog_path):
    """Requests made for a page (its initiator is a document), and those the
    browser made for itself."""
    with open(netlog_path, encoding="utf-8") as f:
        log = json.load(f)
    names = {v: k for k, v in log["constants"]["logEventTypes"].items()}
    page, own = [], 0
    for event in log["events"]:
        params = event.get("params", {})
        if names.get(event["type"]) != "URL_REQUEST_START_JOB" or "url" not in params:
            continue
        if params.get("initiator", "not an origin") == "not an origin":
            own += 1
        else:
            page.append(params["url"])
    return page, own


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, ok, message):
        if not ok:
            self.failures.append(message)

    def finish(self, what):
        for f in self.failures:
            print("html: FAILED: " + f)
        if self.failures:
            sys.exit(1)
        print("html: " + what)


def table_names(dom):
    """The reader table's names: a cut name's whole text is its cell's
    title."""
    table = next(dom.find_all("table", id="reader-table"), None)
    body = next(table.find_all("tbody"), None) if table else None
    if body is None:
        return []
    cells = [next(tr.find_all("td")) for tr in body.find_all("tr")]
    return [td.attrs.get("title") or td.own_text() for td in cells]


def read_csv(folder):
    with open(os.path.join(folder, "report.csv"), newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def check_page(folder, dom_path, netlog_path, console_path):
    with open(os.path.join(folder, "report.csv"), newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    dom = parse(dom_path)
    c = Checks()

    tiles = {t.attrs["data-outcome"]: int(t.attrs["data-count"])
             for t in dom.find_all("div", class_="tile")}
    counts = collections.Counter(r["outcome"] for r in rows)
    c.expect(tiles.pop("readers", None) == len(rows), "tile of all readers")
    c.expect({k: v for k, v in tiles.items() if v} == dict(counts),
             "tiles %s, report.csv %s" % (tiles, dict(counts)))

    names = table_names(dom)
    c.expect(sorted(names) == sorted(r["name"] for r in rows),
             "table names %s" % names)

    grows = [g for svg in dom.find_all("svg", class_="timeline")
             for g in svg.find_all("g", class_="row")]
    c.expect(len(grows) == len(rows), "%d timeline rows for %d readers"
             % (len(grows), len(rows)))
    by_name = {next(g.find_all("text", class_="name")).text(): g for g in grows}
    for r in rows:
        c.expect(r["name"] in by_name, "no timeline row named %r" % r["name"])
        if r["outcome"] == "failed" and r["name"] in by_name:
            titles = [t.text() for t in by_name[r["name"]].find_all("title")]
            c.expect(r["failure_line"] in titles,
                     "row of %s lacks %r" % (r["name"], r["failure_line"]))

    links = [a.attrs["href"] for a in dom.find_all("a", class_="log")]
    c.expect(len(links) >= len(rows) - counts.get("not-started", 0),
             "%d log links" % len(links))
    for href in links:
        path = os.path.join(folder, urllib.parse.unquote(href))
        c.expect(os.path.isfile(path), "log link %s leads nowhere" % href)

    scripts = list(dom.find_all("script"))
    c.expect(len(scripts) == 1, "%d script elements" % len(scripts))
    footer = next(dom.find_all("footer"), None)
    c.expect(footer is not None and "data-render-ms" in footer.attrs,
             "the page's script did not run")

    requests, own = page_requests(netlog_path)
    c.expect(not requests, "the page asked for %s" % requests)
    with open(console_path, encoding="utf-8", errors="replace") as f:
        console = [line.strip() for line in f if ":CONSOLE" in line]
    c.expect(not console, "console: %s" % console)
    c.finish("%d readers, tiles %s, %d timeline rows, %d log links; no request "
             "from the page (%d of the browser's own refused), no console "
             "message" % (len(rows), dict(counts), len(grows), len(links), own))


def check_plain(folder, dom_path):
    with open(os.path.join(folder, "report.csv"), newline="", encoding="utf-8") as f:
        names = sorted(r["name"] for r in csv.DictReader(f))
    dom = parse(dom_path)
    c = Checks()
    footer = next(dom.find_all("footer"), None)
    c.expect(footer is not None and "data-render-ms" not in footer.attrs,
             "the script ran after all")
    table = sorted(table_names(dom))
    c.expect(table == names, "table names %s" % table)
    rows = list(dom.find_all("g", class_="row"))
    c.expect(len(rows) == len(names), "%d timeline rows" % len(rows))
    controls = next(dom.find_all("div", id="controls"), None)
    c.expect(controls is not None and "hidden" in controls.attrs,
             "the filter shows without the script that works it")
    c.finish("without its script: %d readers in the table and the timeline, "
             "no filter shown" % len(names))


def check_timing(page_path, dom_path, budget_ms, factor):
    dom = parse(dom_path)
    footer = next(dom.find_all("footer"), None)
    ms = int(footer.attrs["data-render-ms"]) if footer is not None and \
        "data-render-ms" in footer.attrs else None
    size = os.path.getsize(page_path)
    rows = len(list(dom.find_all("g", class_="row")))
    c = Checks()
    c.expect(size < 2 * 1024 * 1024, "%d bytes" % size)
    c.expect(ms is not None, "the page did not measure its drawing")
    c.expect(ms is None or ms < budget_ms * factor,
             "drawn in %s ms, over %d x %d ms" % (ms, factor, budget_ms))
    c.finish("%d readers: %d bytes, drawn in %s ms by Chromium's clock "
             "(budget %d ms%s)" % (rows, size, ms, budget_ms,
                                   "" if ms is None or ms < budget_ms
                                   else ", MISSED but under %dx" % factor))


FAILURES = {"failed", "unknown", "no-module-answer", "unreachable"}


def check_actions(folder, dom_path, command):
    rows = read_csv(folder)
    dom = parse(dom_path)
    c = Checks()
    may = sum(r["module_state"] == "may-lack-firmware" for r in rows)
    failed = sum(r["outcome"] in FAILURES for r in rows) - may
    body = next(dom.find_all("body"))
    first = next((n for n in body.children if not isinstance(n, str)), None)
    section = next(dom.find_all("section", id="actions"), None)
    if may + failed == 0:
        c.expect(section is None, "a banner for a run that went well")
        c.finish("no banner: nothing to do")
        return
    c.expect(section is not None and section is first,
             "the banner is not the page's first element (%s)"
             % (first.tag if first else None))
    lines = {p.attrs.get("class"): p for p in section.find_all("p")} \
        if section else {}
    for cls, count, text in (
            ("urgent", may, "%d module%s may lack firmware: update %s again now"
             % (may, "" if may == 1 else "s", "it" if may == 1 else "them")),
            ("failed", failed, "%d%s reader%s failed" % (
                failed, " other" if may else "", "" if failed == 1 else "s"))):
        p = lines.get(cls)
        if count == 0:
            c.expect(p is None, "a %s line for none" % cls)
            continue
        c.expect(p is not None and text in p.text(),
                 "no %r in %r" % (text, p.text() if p else None))
        codes = [code.text() for code in p.find_all("code")] if p else []
        c.expect(codes == [command], "%s: command %s, not %r"
                 % (cls, codes, command))
    c.finish("the banner first: %d may lack firmware, %d other failures, "
             "each with %r" % (may, failed, command))


def check_fits(dom_path):
    footer = next(parse(dom_path).find_all("footer"), None)
    attrs = footer.attrs if footer is not None else {}
    c = Checks()
    have = all(k in attrs for k in ("data-page-width", "data-table-width",
                                    "data-tallest-row"))
    c.expect(have, "the page did not measure its table")
    if have:
        page, table = int(attrs["data-page-width"]), int(attrs["data-table-width"])
        tallest = int(attrs["data-tallest-row"])
        c.expect(table <= page, "the table is %d px wide in a %d px window"
                 % (table, page))
        c.expect(tallest <= 160, "a row %d px tall" % tallest)
    c.finish("the table fits: %s px wide in %s, tallest row %s px" % (
        attrs.get("data-table-width"), attrs.get("data-page-width"),
        attrs.get("data-tallest-row")))


def version_key(v):
    try:
        return (0,) + tuple(int(x) for x in v.lstrip("Vv").split("."))
    except ValueError:
        return (1, v)


def check_audit(folder, dom_path, image):
    rows = read_csv(folder)
    dom = parse(dom_path)
    c = Checks()
    c.expect(not list(dom.find_all("g", class_="row")),
             "an audit of %d readers drew timeline rows" % len(rows))
    heads = [th.text() for th in dom.find_all("th")]
    c.expect("current" in heads, "no current column: %s" % heads)
    answered = [r for r in rows if r["outcome"] == "answered"]
    newer = sum(version_key(r["version_before"]) > version_key(image)
                and version_key(r["version_before"])[0] == 0 for r in answered)
    need = sum(r["current"] == "no" for r in answered) - newer
    shown = {e.attrs.get("id"): int(e.attrs["data-count"])
             for e in dom.find_all(None) if e.attrs.get("id") in ("need", "newer")}
    c.expect(shown.get("need") == need, "need %s, report.csv %d"
             % (shown.get("need"), need))
    c.expect(shown.get("newer", 0) == newer, "newer %s, report.csv %d"
             % (shown.get("newer"), newer))
    table = next(dom.find_all("table", id="version-counts"), None)
    counted = {}
    for tr in (table.find_all("tr") if table else []):
        cells = [td.text() for td in tr.find_all("td")]
        if cells and cells[0] not in ("no answer", "not started"):
            counted[cells[0]] = int(cells[1])
    expected = collections.Counter(r["version_before"] for r in answered)
    c.expect(counted == dict(expected), "versions %s, report.csv %s"
             % (counted, dict(expected)))
    c.finish("audit of %d readers: no timeline rows, a current column, "
             "versions %s, %d need the update, %d newer" % (
                 len(rows), counted, need, newer))


def check_merge(folder, dom_path):
    rows = read_csv(folder)
    dom = parse(dom_path)
    c = Checks()
    runs = collections.Counter(r["run"] for r in rows)
    svgs = list(dom.find_all("svg", class_="timeline"))
    heads = [h.text() for h in dom.find_all("h3", class_="run")]
    c.expect(len(svgs) == len(runs) and len(heads) == len(runs),
             "%d timelines, %d headings for runs %s"
             % (len(svgs), len(heads), dict(runs)))
    labels = 0
    for svg, head in zip(svgs, heads):
        run = head.split(",")[0]
        c.expect(len(list(svg.find_all("g", class_="row"))) == runs.get(run),
                 "run %s: %d rows" % (run, runs.get(run, 0)))
        texts = [t for g in svg.find_all("g", class_="wave")
                 for t in g.find_all("text")]
        xs = sorted(float(t.attrs["x"]) for t in texts)
        c.expect(all(b - a >= 40 for a, b in zip(xs, xs[1:])),
                 "run %s: wave labels at %s" % (run, xs))
        for t in texts:
            wave = t.text().split()[-1]
            worked = [r for r in rows if r["run"] == run and r["wave"] == wave
                      and r["outcome"] not in ("already-current",
                                               "newer-than-image")]
            c.expect(worked, "run %s: a label for %s, which updated nothing"
                     % (run, t.text()))
        labels += len(texts)
    c.finish("merge of %d runs: a timeline each (%s), %d wave labels, none "
             "over another or for an empty wave" % (len(runs), heads, labels))


def main():
    mode = sys.argv[1]
    if mode == "page":
        check_page(*sys.argv[2:6])
    elif mode == "plain":
        check_plain(sys.argv[2], sys.argv[3])
    elif mode == "requests":
        print(len(page_requests(sys.argv[2])[0]))
    elif mode == "timing":
        check_timing(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
    elif mode == "actions":
        check_actions(sys.argv[2], sys.argv[3], sys.argv[4])
    elif mode == "fits":
        check_fits(sys.argv[2])
    elif mode == "audit":
        check_audit(sys.argv[2], sys.argv[3], sys.argv[4])
    elif mode == "merge":
        check_merge(sys.argv[2], sys.argv[3])
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
