#!/usr/bin/python3
"""kpm-summary agrees with kpm on every study of the tests and examples.

Usage: agreement.py KPM KPM_SUMMARY SRCDIR

For each study file in SRCDIR/examples/, SRCDIR/tests/cli/*/ and
SRCDIR/tests/tools/summary/kpm-summary/*/:
- a study that kpm refuses, kpm-summary refuses too: status 1 and kpm's own
  lines on standard error;
- for a study that kpm accepts, kpm's report is rebuilt from kpm-summary's
  tidy table (--csv) and totals table (--totals-csv), every figure printed at
  the report's six decimals, and must equal the report's blocks; and the
  tables add up as the manual says: in each pair, in row order,
    the connected loads of the running rows (load_factor_load_kw > 1e-5)
      = total_connected_load_kw,
    their load-factor loads = total_load_factor_load_kw,
    every row's operating load, plus largest_margin_kw,
      = total_operating_load_kw,
  exactly; loads and running_loads count the rows; governing marks the
  first pair with the largest total operating load.
"""
import csv
import glob
import os
import re
import subprocess
import sys
import tempfile

RUNNING_THRESHOLD = 1e-5  # kW, kpm's own


def run(cmd, cwd):
    p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return p.returncode, p.stdout, p.stderr


def read_csv(path):
    with open(path, newline="", encoding="utf-8", errors="surrogateescape") as f:
        rows = list(csv.reader(f))
    return rows[0], [dict(zip(rows[0], r)) for r in rows[1:]]


def text(value):
    """A text field of the report as a pattern: an empty CSV field is a text
    the study did not give (kpm writes "(null)") or an empty one."""
    if value == "":
        return r"(?:\(null\))?"
    return re.escape(value)


def num(value):
    return re.escape("%f" % float(value))


def expected_body(pairs, rows):
    parts = []
    by_pair = {}
    for r in rows:
        by_pair.setdefault((r["operational_condition"], r["ambient_condition"]), []).append(r)
    for t in pairs:
        key = (t["operational_condition"], t["ambient_condition"])
        parts.append(r'\n"Operational_Condition","%s"\n"Ambient_Condition","%s"\n' % (text(key[0]), text(key[1])))
        for label, column in (("Total_Connected_Load_KW", "total_connected_load_kw"),
                              ("Total_Load_Factor_Load_KW", "total_load_factor_load_kw"),
                              ("Zonal_Total_Operating_Load_KW", "total_operating_load_kw"),
                              ("Total_lf", "total_lf"), ("Total_kpm", "total_kpm")):
            parts.append(r'"%s",%s\n' % (label, num(t[column])))
        for r in by_pair.get(key, []):
            parts.append(r'"SWBS","%s","%s","Connected_Load_KW",%s,"Peak_fraction",%s,"LF",%s,%s,"KPM",%s,%s\n' % (
                text(r["swbs"]), text(r["load"]), num(r["connected_load_kw"]), num(r["peak_fraction"]),
                num(r["load_factor"]), num(r["load_factor_load_kw"]), num(r["operating_factor"]),
                num(r["operating_load_kw"])))
    return "".join(parts)


def check_sums(pairs, rows, tolerance=0.0):
    """The tables add up as documented (exactly, unless a relative tolerance
    is given); returns the faults."""
    faults = []
    at = 0
    best = None
    for i, t in enumerate(pairs):
        key = (t["operational_condition"], t["ambient_condition"])
        n = int(t["loads"])
        mine = rows[at:at + n]
        at += n
        if any((r["operational_condition"], r["ambient_condition"]) != key for r in mine):
            faults.append("%s: the rows of the pair are not %d in a row" % (key, n))
            continue
        connected = lf = operating = 0.0
        running = 0
        for r in mine:
            if float(r["load_factor_load_kw"]) > RUNNING_THRESHOLD:
                connected += float(r["connected_load_kw"])
                lf += float(r["load_factor_load_kw"])
                running += 1
            operating += float(r["operating_load_kw"])
        operating += float(t["largest_margin_kw"])
        for what, got, want in (("connected", connected, t["total_connected_load_kw"]),
                                ("load-factor", lf, t["total_load_factor_load_kw"]),
                                ("operating + margin", operating, t["total_operating_load_kw"])):
            if abs(got - float(want)) > tolerance * max(1.0, abs(float(want))):
                faults.append("%s: %s rows add up to %r, total %s" % (key, what, got, want))
        if running != int(t["running_loads"]):
            faults.append("%s: %d running rows, running_loads %s" % (key, running, t["running_loads"]))
        total = float(t["total_operating_load_kw"])
        if best is None or total > best[1]:
            best = (i, total)
    if at != len(rows):
        faults.append("%d rows, the pairs count %d" % (len(rows), at))
    flags = [i for i, t in enumerate(pairs) if t["governing"] == "1"]
    if best is not None and flags != [best[0]]:
        faults.append("governing flags on %s, the largest pair is %d" % (flags, best[0]))
    return faults


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    kpm, summary, src = (os.path.abspath(a) for a in sys.argv[1:])
    studies = sorted(glob.glob(os.path.join(src, "examples", "*.xml")) +
                     glob.glob(os.path.join(src, "tests", "cli", "*", "*.xml")) +
                     glob.glob(os.path.join(src, "tests", "tools", "summary", "kpm-summary", "*", "*.xml")))
    agreed = refused = failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        for study in studies:
            name = os.path.relpath(study, src)
            for f in ("report.csv", "rows.csv", "totals.csv"):
                if os.path.exists(os.path.join(tmp, f)):
                    os.unlink(os.path.join(tmp, f))
            status, _, kpm_err = run([kpm, "-oreport.csv", study], tmp)
            s_status, s_out, s_err = run([summary, "-q", "--csv", "rows.csv", "--totals-csv", "totals.csv", study],
                                         tmp)
            faults = []
            if s_err != kpm_err:
                faults.append("standard error differs:\nkpm: %r\nkpm-summary: %r" % (kpm_err, s_err))
            if status != 0:
                if s_status != 1:
                    faults.append("kpm refuses it (status %d), kpm-summary gives status %d" % (status, s_status))
                if os.path.exists(os.path.join(tmp, "rows.csv")):
                    faults.append("a refused study left rows.csv")
            elif s_status != 0:
                faults.append("kpm accepts it, kpm-summary gives status %d" % s_status)
            else:
                if s_out:
                    faults.append("-q printed %r" % s_out[:200])
                with open(os.path.join(tmp, "report.csv"), encoding="utf-8", errors="surrogateescape",
                          newline="") as f:
                    report = f.read()
                _, pairs = read_csv(os.path.join(tmp, "totals.csv"))
                _, rows = read_csv(os.path.join(tmp, "rows.csv"))
                # The four header lines, then the blocks.
                start = report.find('\n\n"Operational_Condition","')
                if start < 0 or not re.fullmatch(expected_body(pairs, rows), report[start + 1:], re.S):
                    faults.append("the report's blocks differ from the tables at six decimals")
                faults += check_sums(pairs, rows)
            if faults:
                failed += 1
                print("FAIL %s" % name)
                for fault in faults:
                    print("  " + fault)
            elif status == 0:
                agreed += 1
            else:
                refused += 1
    print("%d studies agree with kpm's report, %d refused by both" % (agreed, refused))
    print("%d passed, %d failed" % (agreed + refused, failed))
    return 1 if failed or agreed == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
