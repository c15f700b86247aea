#!/usr/bin/python3
"""kpm-summary's workbook read back by an independent reader (openpyxl).

Usage: workbook.py KPM KPM_SUMMARY SRCDIR

For studies of the examples and tests, the workbook's tidy sheet, rebuilt into
kpm's report at six decimals, must equal kpm's own report; the summary sheet's
matrix and totals must equal the report's totals; the tidy rows add up to the
totals (to rounding: a cell holds 16 significant digits); each pair's SWBS
groups and largest margin add up to its total; the tidy sheet has its header frozen, an
auto-filter, number formats and column widths. A study with control
characters and bytes that are not UTF-8 still gives a workbook that opens,
with U+FFFD in their place.

Skipped (status 77) with a message when openpyxl is missing or kpm-summary was
built without libxlsxwriter; KPM_REQUIRE_WORKBOOK=1 (as in .ci/run) makes
that a failure.
"""
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import agreement as summary_agreement  # noqa: E402  (the report rebuilt from the tidy table)

SKIP = 77
HEADER = ["operational_condition", "ambient_condition", "swbs", "load", "connected_load_kw", "peak_fraction",
          "load_factor", "load_factor_load_kw", "operating_factor", "operating_load_kw"]


def skip(message):
    print("skipped: " + message)
    return 1 if os.environ.get("KPM_REQUIRE_WORKBOOK") == "1" else SKIP


def cell_text(v):
    return "" if v is None else str(v)


def cell_number(v):
    return repr(float(v))


def check_workbook(openpyxl, book, report_path):
    faults = []
    wb = openpyxl.load_workbook(book)
    if wb.sheetnames != ["Summary", "Loads", "SWBS"]:
        faults.append("sheets %s" % wb.sheetnames)
        return faults
    with open(report_path, encoding="utf-8", newline="") as f:
        report = f.read()
    blocks = summary_agreement_blocks(report)

    # The tidy sheet, as the rows of the tidy table.
    loads = wb["Loads"]
    values = list(loads.iter_rows(values_only=True))
    if list(values[0]) != HEADER:
        faults.append("Loads header %s" % (values[0],))
    rows = []
    for v in values[1:]:
        r = dict(zip(HEADER, v))
        for k in HEADER[:4]:
            r[k] = cell_text(r[k])
        for k in HEADER[4:]:
            r[k] = cell_number(r[k])
        rows.append(r)
    if loads.freeze_panes != "A2":
        faults.append("Loads: frozen at %s" % loads.freeze_panes)
    if loads.auto_filter.ref != "A1:J%d" % len(values):
        faults.append("Loads: auto-filter %s for %d rows" % (loads.auto_filter.ref, len(values)))
    if len(values) > 1 and loads.cell(2, 5).number_format != "0.000000":
        faults.append("Loads: number format %s" % loads.cell(2, 5).number_format)
    if not (loads.column_dimensions["D"].width or 0) > 20:
        faults.append("Loads: the load column is %s wide" % loads.column_dimensions["D"].width)

    # The summary sheet: the pairs' totals under their header.
    summary = list(wb["Summary"].iter_rows(values_only=True))
    at = next(i for i, r in enumerate(summary) if r[0] == "operational_condition")
    names = summary[at]
    pairs = []
    for r in summary[at + 1:]:
        if r[0] is None:
            break
        t = dict(zip(names, r))
        pairs.append({k: (cell_text(v) if k in ("operational_condition", "ambient_condition")
                          else "%d" % v if k in ("loads", "running_loads", "governing") else cell_number(v))
                      for k, v in t.items() if k})
    start = report.find('\n\n"Operational_Condition","')
    if not re.fullmatch(summary_agreement.expected_body(pairs, rows), report[start + 1:], re.S):
        faults.append("the workbook's figures differ from kpm's report at six decimals")
    # A workbook's cells hold 16 significant digits (the library's choice), not
    # every double exactly: the sums agree to rounding.
    faults += summary_agreement.check_sums(pairs, rows, 1e-12)

    # The matrix: operational conditions down, ambient ones across, in report order.
    top = next(i for i, r in enumerate(summary) if r[0] == "Zonal total operating load (kW)")
    ambient = [c for c in summary[top + 1][1:] if c is not None]
    matrix = []
    for r in summary[top + 2:top + 2 + len(blocks) // max(len(ambient), 1)]:
        matrix += [(r[0], a, "%f" % v) for a, v in zip(ambient, r[1:])]
    if matrix != [(oc, ac, total) for oc, ac, total in blocks]:
        faults.append("the matrix differs from the report's totals")

    # SWBS groups and the largest margin make up each pair's total.
    sums = {}
    for r in list(wb["SWBS"].iter_rows(values_only=True))[1:]:
        key = (cell_text(r[0]), cell_text(r[1]))
        load, share = sums.get(key, (0.0, 0.0))
        sums[key] = (load + r[3], share + r[4])
    for p in pairs:
        key = (p["operational_condition"], p["ambient_condition"])
        load, share = sums.get(key, (0.0, 0.0))
        total = float(p["total_operating_load_kw"])
        if abs(load - total) > 1e-9 * max(1.0, total) or (total > 0 and abs(share - 1) > 1e-9):
            faults.append("SWBS %s: groups add up to %r (%r of the total %r)" % (key, load, share, total))
    return faults


def summary_agreement_blocks(report):
    """(oc, ac, total at six decimals) of each block."""
    lines = report.split("\n")
    out = []
    for i, line in enumerate(lines):
        if line.startswith('"Operational_Condition","'):
            out.append((line[25:-1], lines[i + 1][21:-1], lines[i + 4].split(",")[1]))
    return out


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    kpm, summary, src = (os.path.abspath(a) for a in sys.argv[1:])
    try:
        import openpyxl
    except ImportError:
        return skip("openpyxl is missing (Debian package python3-openpyxl); the workbook was not read back")

    studies = [os.path.join(src, "examples", "ship-zone.xml"), os.path.join(src, "examples", "example.xml"),
               os.path.join(src, "tests", "tools", "summary", "kpm-summary", "csv-and-totals-to-files", "study.xml"),
               os.path.join(src, "tests", "tools", "summary", "kpm-summary", "nothing-runs", "study.xml")]
    hostile = os.path.join(src, "tests", "tools", "summary", "kpm-summary", "hostile-control-characters", "study.xml")
    passed = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        book = os.path.join(tmp, "book.xlsx")
        probe = subprocess.run([summary, "-q", "--xlsx", book, studies[1]], stderr=subprocess.PIPE, timeout=60)
        if b"not available" in probe.stderr:
            return skip("kpm-summary was built without libxlsxwriter (Debian package libxlsxwriter-dev)")
        for study in studies:
            report = os.path.join(tmp, "report.csv")
            subprocess.run([kpm, "-o" + report, study], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=True, timeout=60)
            made = subprocess.run([summary, "-q", "--by-swbs=2", "--xlsx", book, study], stderr=subprocess.PIPE,
                                  timeout=60)
            faults = ["status %d: %s" % (made.returncode, made.stderr)] if made.returncode else \
                check_workbook(openpyxl, book, report)
            name = os.path.relpath(study, src)
            if faults:
                failed += 1
                print("FAIL %s" % name)
                for fault in faults:
                    print("  " + fault)
            else:
                passed += 1
                print("ok %s" % name)
        # Texts that XML cannot carry as they are.
        made = subprocess.run([summary, "-q", "--xlsx", book, hostile], stderr=subprocess.PIPE, timeout=60)
        faults = []
        if made.returncode:
            faults.append("status %d: %s" % (made.returncode, made.stderr))
        else:
            wb = openpyxl.load_workbook(book)
            texts = [c for r in wb["Loads"].iter_rows(min_row=2, values_only=True) for c in r[:4] if c]
            if "Fan \ufffd\ufffd bytes" not in texts or "51\ufffd" not in texts or "\ufffd[5m" not in texts:
                faults.append("texts %r" % texts)
            if wb["Summary"]["A1"].value != "Zone \ufffd[2J\ufffd]0;pwned\ufffd title":
                faults.append("title %r" % wb["Summary"]["A1"].value)
        if faults:
            failed += 1
            print("FAIL hostile texts")
            for fault in faults:
                print("  " + fault)
        else:
            passed += 1
            print("ok hostile texts")
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
