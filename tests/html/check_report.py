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

    body = next(dom.find_all("tbody"), None)
    names = [next(tr.find_all("td")).own_text()
             for tr in body.find_all("tr")] if body else []
    c.expect(sorted(names) == sorted(r["name"] for r in rows),
             "table names %s" % names)

    svg = next(dom.find_all("svg", id="timeline-svg"), None)
    grows = list(svg.find_all("g", class_="row")) if svg else []
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
    body = next(dom.find_all("tbody"), None)
    table = sorted(next(tr.find_all("td")).own_text()
                   for tr in body.find_all("tr")) if body else []
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
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
