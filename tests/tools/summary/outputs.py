#!/usr/bin/python3
"""kpm-summary's outputs do not depend on which others a run asks for.

Usage: outputs.py KPM_SUMMARY SRCDIR

For a study of one pair and a study of many, every combination of the
outputs (the terminal view with --by-swbs, --html, --xlsx, --csv,
--totals-csv; each alone and together) is run, and for each output asked
for:
- it is byte for byte what the same output alone gives (the workbook, which
  carries a creation date, is compared by its cells);
- each pair's SWBS groups and its largest margin add up to its total
  operating load: in the terminal view and on the page as printed (six
  decimals), in the workbook's SWBS sheet, and for the tidy table by the
  first character of each row's code, against the totals table.
The workbook is left out (with a line saying so) when openpyxl or
libxlsxwriter is missing, unless KPM_REQUIRE_WORKBOOK=1 (as in .ci/run)
makes that a failure.
"""
import csv
import io
import itertools
import os
import re
import subprocess
import sys
import tempfile

DECIMALS = 6
# A printed figure is off by half a unit of its last decimal.
PRINTED = 0.5 * 10 ** -DECIMALS
OUTPUTS = ["terminal", "html", "xlsx", "csv", "totals"]
FILES = {"html": "page.html", "xlsx": "book.xlsx", "csv": "rows.csv", "totals": "totals.csv"}
OPTIONS = {"html": "--html", "xlsx": "--xlsx", "csv": "--csv", "totals": "--totals-csv"}


def run(summary, study, outputs, work):
    args = [summary, "--decimals=%d" % DECIMALS, "--by-swbs"]
    if "terminal" not in outputs:
        args.append("-q")
    for o in outputs:
        if o != "terminal":
            args += [OPTIONS[o], os.path.join(work, FILES[o])]
    p = subprocess.run(args + [study], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    if p.returncode != 0:
        raise RuntimeError("status %d: %s" % (p.returncode, p.stderr.decode(errors="replace")))
    got = {}
    for o in outputs:
        if o == "terminal":
            got[o] = p.stdout
        else:
            with open(os.path.join(work, FILES[o]), "rb") as f:
                got[o] = f.read()
    return got


def close(parts, total, slack):
    return abs(sum(parts) - total) <= slack + 1e-9 * max(1.0, abs(total))


def check_terminal(text):
    lines = text.decode("utf-8", errors="replace").split("\n")
    totals, groups = [], []
    section = None
    for line in lines:
        if line.startswith("Pairs of conditions"):
            section = "pairs"
        elif line.startswith("Operating load by SWBS group"):
            section = "groups"
        elif not line.strip():
            section = None
        elif section and not line.startswith("Operational"):
            numbers = re.findall(r"-?\d+\.\d+\*?", line)
            if section == "pairs":
                totals.append(float(numbers[2].rstrip("*")))
            else:
                if not line.startswith(" "):
                    groups.append([])
                groups[-1].append(float(numbers[-2]))
    faults = []
    if len(groups) != len(totals):
        return ["terminal: %d pairs, %d with groups" % (len(totals), len(groups))]
    for i, (parts, total) in enumerate(zip(groups, totals)):
        if len(parts) < 2 or not close(parts, total, PRINTED * (len(parts) + 1)):
            faults.append("terminal: pair %d: groups %r, total %r" % (i + 1, parts, total))
    return faults


def check_html(page):
    faults = []
    bars = re.findall(r'<div class="bar[^"]*" data-pair="[^"]*"[^>]*data-total="([^"]+)"[^>]*>(.*?)</svg></div>',
                      page.decode("utf-8"), re.S)
    if not bars:
        return ["html: no bars"]
    for i, (total, body) in enumerate(bars):
        parts = [float(v) for v in re.findall(r"<title>[^<]*: (-?\d+\.\d+) kW</title>", body)]
        if not parts and float(total) > 0:
            faults.append("html: pair %d: no groups" % (i + 1))
        elif not close(parts, float(total), PRINTED * (len(parts) + 1)):
            faults.append("html: pair %d: groups %r, total %s" % (i + 1, parts, total))
    return faults


def workbook_groups(openpyxl, data):
    wb = openpyxl.load_workbook(io.BytesIO(data))
    rows = [tuple(r) for r in wb["SWBS"].iter_rows(min_row=2, values_only=True)]
    summary = list(wb["Summary"].iter_rows(values_only=True))
    at = next(i for i, r in enumerate(summary) if r[0] == "operational_condition")
    names = summary[at]
    totals = {}
    for r in summary[at + 1:]:
        if r[0] is None:
            break
        t = dict(zip(names, r))
        totals[(t["operational_condition"], t["ambient_condition"])] = t["total_operating_load_kw"]
    return rows, totals


def check_workbook(rows, totals):
    sums = {}
    for r in rows:
        sums.setdefault((r[0], r[1]), []).append(r[3])
    faults = []
    if set(sums) != set(totals):
        faults.append("xlsx: the SWBS sheet has %d pairs, the summary %d" % (len(sums), len(totals)))
    for key, total in totals.items():
        parts = sums.get(key, [])
        if len(parts) < 2 or not close(parts, total, 0):
            faults.append("xlsx: %s: groups %r, total %r" % (key, parts, total))
    return faults


def read_table(data):
    rows = list(csv.reader(io.StringIO(data.decode("utf-8"), newline="")))
    return [dict(zip(rows[0], r)) for r in rows[1:]]


def check_tables(rows_csv, totals_csv):
    faults = []
    groups = {}
    for r in read_table(rows_csv):
        key = (r["operational_condition"], r["ambient_condition"])
        g = groups.setdefault(key, {})
        code = r["swbs"][:1]
        g[code] = g.get(code, 0.0) + float(r["operating_load_kw"])
    for t in read_table(totals_csv):
        key = (t["operational_condition"], t["ambient_condition"])
        parts = list(groups.get(key, {}).values()) + [float(t["largest_margin_kw"])]
        if not close(parts, float(t["total_operating_load_kw"]), 0):
            faults.append("csv: %s: groups %r, total %s" % (key, parts, t["total_operating_load_kw"]))
    return faults


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    summary, src = (os.path.abspath(a) for a in sys.argv[1:])
    studies = [os.path.join(src, "tests", "tools", "summary", "kpm-summary", "by-swbs-with-page", "study.xml"),
               os.path.join(src, "examples", "ship-zone.xml")]
    try:
        import openpyxl
    except ImportError:
        openpyxl = None
    outputs = list(OUTPUTS)
    failed = runs = 0
    with tempfile.TemporaryDirectory() as tmp:
        probe = subprocess.run([summary, "-q", "--xlsx", os.path.join(tmp, "probe.xlsx"), studies[0]],
                               stderr=subprocess.PIPE, timeout=60)
        if openpyxl is None or probe.returncode != 0:
            print("the workbook is left out: openpyxl or libxlsxwriter is missing")
            if os.environ.get("KPM_REQUIRE_WORKBOOK") == "1":
                return 1
            outputs.remove("xlsx")
        for study in studies:
            name = os.path.relpath(study, src)
            alone = {o: run(summary, study, [o], tmp)[o] for o in outputs}
            if "xlsx" in alone:
                alone["xlsx"] = workbook_groups(openpyxl, alone["xlsx"])
            for n in range(1, len(outputs) + 1):
                for combination in itertools.combinations(outputs, n):
                    runs += 1
                    got = run(summary, study, list(combination), tmp)
                    faults = []
                    for o in combination:
                        mine = workbook_groups(openpyxl, got[o]) if o == "xlsx" else got[o]
                        if mine != alone[o]:
                            faults.append("%s differs from the %s written alone" % (o, o))
                    if "terminal" in got:
                        faults += check_terminal(got["terminal"])
                    if "html" in got:
                        faults += check_html(got["html"])
                    if "xlsx" in got:
                        faults += check_workbook(*workbook_groups(openpyxl, got["xlsx"]))
                    if "csv" in got and "totals" in got:
                        faults += check_tables(got["csv"], got["totals"])
                    if faults:
                        failed += 1
                        print("FAIL %s with %s" % (name, " ".join(combination)))
                        for fault in faults:
                            print("  " + fault)
    print("%d runs, %d failed" % (runs, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
