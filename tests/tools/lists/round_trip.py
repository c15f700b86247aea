#!/usr/bin/env python3
"""The load list and the study file are two views of one load list.

1. Every study of the tests and examples that kpm accepts: kpm-export, then
   kpm-import (with --name set to the study's name), then kpm gives the same
   report as kpm on the original, apart from the lines that name the files.
   Left out, as documented: a study with two conditions of one name (the
   later one has no load factor and no column, so the imported study has no
   block for it) and one that kpm-export refuses (a "/" in an operational
   condition's name, an ambient condition named "*" or ending in a unit).
2. Every list of the kpm-import cases that imports: kpm reads the study;
   kpm-export writes its list, which kpm-import turns into a study with the
   same report and which kpm-export writes again byte for byte (numbers are
   written exactly, so the two studies hold the same values, and a row with
   a quantity or an OPERATIONAL/* column comes back as what it stands for).
   A list in the plain layout (the fixed columns by their own names, kW,
   decimal points or commas without grouping, no quantity or "*") is also
   read here on its own: kpm-export gives back its values.

Usage: round_trip.py BUILD_DIR SOURCE_DIR
"""
import csv
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile

FIXED = ["name", "swbs", "connected_load", "peak_fraction", "pf"]
DEFAULTS = {"peak_fraction": 1.0, "pf": 1.0}  # kpm's, for absent columns and empty cells


def run(args, cwd):
    return subprocess.run(args, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)


def case_work_folder(case_dir, tmp):
    """A copy of a command-line case's inputs, with its setup run."""
    work = tempfile.mkdtemp(dir=tmp)
    for name in os.listdir(case_dir):
        if name in ("args", "stdout", "stderr", "status", "expect", "setup", "stdout_to"):
            continue
        src = os.path.join(case_dir, name)
        (shutil.copytree if os.path.isdir(src) else shutil.copy)(src, os.path.join(work, name))
    setup = os.path.abspath(os.path.join(case_dir, "setup"))
    if os.path.exists(setup):
        subprocess.run(["bash", setup], cwd=work, check=True, stdout=subprocess.DEVNULL)
    return work


def report_lines(kpm, study, cwd):
    r = run([kpm, study], cwd)
    if r.returncode != 0:
        return None
    text = r.stdout.split(b"Printing Results\n", 1)[1]
    return text.rsplit(b"Done\n", 1)[0].split(b"\n")


def studies(src, tmp):
    for folder in ("tests/cli", "tests/tools/lists/kpm-export"):
        for case in sorted(os.listdir(os.path.join(src, folder))):
            work = case_work_folder(os.path.join(src, folder, case), tmp)
            for name in sorted(os.listdir(work)):
                if name.endswith(".xml") and os.path.isfile(os.path.join(work, name)):
                    yield folder + "/" + case + "/" + name, work, name
    for name in sorted(os.listdir(os.path.join(src, "examples"))):
        if name.endswith(".xml"):
            yield "examples/" + name, os.path.join(src, "examples"), name


def study_round_trips(build, src, tmp):
    kpm = os.path.join(build, "kpm")
    failures, count = [], 0
    for label, work, name in studies(src, tmp):
        original = report_lines(kpm, name, work)
        if original is None:
            continue  # a study that kpm refuses
        list_path = os.path.join(tmp, "list.csv")
        study_path = os.path.join(tmp, "study.xml")
        e = run([os.path.join(build, "kpm-export"), "-o", list_path, name], work)
        if e.returncode == 1 and (b'holds "/"' in e.stderr or b"cannot head a column" in e.stderr):
            continue  # a condition whose pair no header can name ("/", "*", a unit): refused, as documented
        if e.returncode != 0:
            failures.append("%s: kpm-export failed: %s" % (label, e.stderr.decode(errors="replace")))
            continue
        if b"conditions are named" in e.stderr:
            continue  # a condition of a repeated name has no column, and so no block after the import
        count += 1
        study_name = original[1][1:-1]  # the report's second line, between quotes
        if study_name == b"(null)":
            study_name = b""
        i = run([os.path.join(build, "kpm-import"), b"--name=" + study_name, "-o", study_path, list_path], tmp)
        if i.returncode != 0:
            failures.append("%s: kpm-import failed: %s" % (label, i.stderr.decode(errors="replace")))
            continue
        again = report_lines(kpm, study_path, tmp)
        if again is None:
            failures.append("%s: kpm refuses the imported study" % label)
        elif again[1] != original[1] or again[4:] != original[4:]:
            diff = [(a, b) for a, b in zip(original[4:], again[4:]) if a != b][:3]
            failures.append("%s: the reports differ: %r" % (label, diff or (len(original), len(again))))
    return count, failures


def canonical_header(cell):
    """What kpm-export writes for a header cell of a list, or None (ignored)."""
    t = cell.strip(" \t\n\v\f\r")
    base = t
    if t.endswith(")") and "(" in t[:-1]:
        base = t[: t.rindex("(", 0, len(t) - 1)]
    key = "".join(c.lower() if "A" <= c <= "Z" else c for c in base if c not in " \t\n\v\f\r_")
    for f in FIXED:
        if key == f.replace("_", ""):
            return f
    if "/" in t:
        oc, ac = t.split("/", 1)
        return oc.strip(" \t\n\v\f\r") + "/" + ac.strip(" \t\n\v\f\r")
    return None


class NotPlain(Exception):
    """A list that this test does not read on its own (units, grouping, percentages, new header names)."""


# Header names that kpm-import reads beyond the fixed columns' own (in keys:
# lower case, no blanks or underscores).
OTHER_NAMES = {"loadname", "load", "equipment", "consumer", "description", "swbscode", "ratedpower",
               "installedpower", "kw", "peak", "powerfactor", "cosphi", "cos\u03c6", "cos\u03a6", "qty", "quantity"}


def number(text, separator):
    text = text.strip(" \t\n\v\f\r")
    if re.search(r"[%\s\u00a0\u202f]", text) or ("," in text and "." in text) or \
            re.fullmatch(r"[-+]?[1-9][0-9]{0,2}[.,][0-9]{3}", text):
        raise NotPlain(text)
    if separator != "," and "," in text:
        text = text.replace(",", ".")
    return float(text)


def plain_header(cells):
    names = set()
    for cell in cells:
        t = cell.strip(" \t\n\v\f\r")
        unit = re.search(r"[(\[]\s*([^()\[\]]*?)\s*[)\]]$", t)
        column = canonical_header(cell)
        if column in FIXED:
            if unit and unit.group(1) not in ("kW", "-", "kW/kVA"):
                return False
            names.add(column)
        elif column is not None:
            if column.endswith("/*") or (unit and unit.group(1) in ("%", "W", "kW", "MW")):
                return False
        elif "".join(c.lower() for c in (unit and t[:unit.start()] or t) if c not in " \t_").rstrip(".") in OTHER_NAMES:
            return False
    return "name" in names and "connected_load" in names


def as_rows(data, separator):
    """The list as {column: value} per load: texts as written, numbers as floats."""
    text = data.decode("utf-8", errors="surrogateescape")
    if text.startswith("\ufeff"):
        text = text[1:]
    rows = [r for r in csv.reader(io.StringIO(text, newline=""), delimiter=separator) if any(r)]
    if not plain_header(rows[0]):
        raise NotPlain(rows[0])
    header = [canonical_header(c) for c in rows[0]]
    loads = []
    for row in rows[1:]:
        load = {}
        for column, cell in zip(header, row):
            if column is None or column in ("name", "swbs"):
                if column:
                    load[column] = cell if cell else None
            elif cell.strip():
                load[column] = number(cell, separator)
        for column in FIXED:
            load.setdefault(column, DEFAULTS.get(column))
        loads.append(load)
    return [h for h in header if h], loads


def sniffed_separator(data, args):
    if "--separator" in args:
        return {",": ",", ";": ";", "tab": "\t"}[args[args.index("--separator") + 1]]
    first = data.split(b"\n", 1)[0].split(b"\r", 1)[0]
    counts = [first.count(b","), first.count(b";"), first.count(b"\t")]
    if counts[1] > counts[0] and counts[1] >= counts[2]:
        return ";"
    if counts[2] > counts[0] and counts[2] > counts[1]:
        return "\t"
    return ","


def list_round_trips(build, src, tmp):
    failures, count, plain = [], 0, 0
    cases = os.path.join(src, "tests", "tools", "lists", "kpm-import")
    for case in sorted(os.listdir(cases)):
        case_dir = os.path.join(cases, case)
        with open(os.path.join(case_dir, "status")) as f:
            if f.read().strip() != "0":
                continue
        with open(os.path.join(case_dir, "args")) as f:
            args = f.read().split("\n")[:-1]
        lists = [a for a in args if a.endswith(".csv")]
        if len(lists) != 1:
            continue
        count += 1
        work = case_work_folder(case_dir, tmp)
        options = [a for a in args if a not in lists and a != "-o" and not a.endswith(".xml")]
        importer, exporter, kpm = (os.path.join(build, p) for p in ("kpm-import", "kpm-export", "kpm"))
        i = run([importer, "--name=zone", "-o", "study.xml"] + options + lists, work)
        k = run([kpm, "-oreport.csv", "study.xml"], work)
        e = run([exporter, "-o", "back.csv", "study.xml"], work)
        if i.returncode or k.returncode or e.returncode:
            failures.append("%s: status %d, kpm %d, kpm-export %d" % (case, i.returncode, k.returncode, e.returncode))
            continue
        # The exported list, imported and exported again.
        again = run([importer, "--name=zone", "-o", "again.xml", "back.csv"], work)
        k2 = run([kpm, "-oreport.csv", "again.xml"], work)
        e2 = run([exporter, "again.xml"], work)
        with open(os.path.join(work, "back.csv"), "rb") as f:
            back_data = f.read()
        if again.returncode or k2.returncode or e2.returncode or e2.stdout != back_data:
            failures.append("%s: the exported list does not come back as itself: %s" % (case, again.stderr))
            continue
        if report_lines(kpm, "study.xml", work)[4:] != report_lines(kpm, "again.xml", work)[4:]:
            failures.append("%s: the study of the exported list has another report" % case)
            continue
        with open(os.path.join(work, lists[0]), "rb") as f:
            data = f.read()
        try:
            given_header, given = as_rows(data, sniffed_separator(data, args))
        except NotPlain:
            continue
        plain += 1
        back_header, back = as_rows(back_data, ",")
        # The export has every fixed column, and a column for every pair of
        # the conditions: those the list did not have stay empty.
        header_ok = back_header[:5] == FIXED and set(given_header) - set(FIXED) <= set(back_header)
        if not header_ok or given != back:
            failures.append("%s: the list came back otherwise:\n  %r\n  %r" % (case, (given_header, given), (back_header, back)))
    return count, plain, failures


def main():
    build, src = (os.path.abspath(a) for a in sys.argv[1:3])
    tmp = tempfile.mkdtemp(prefix="kpm-round-trip.")
    try:
        studies_done, failures = study_round_trips(build, src, tmp)
        lists_done, plain, more = list_round_trips(build, src, tmp)
    finally:
        shutil.rmtree(tmp)
    for f in failures + more:
        print(f)
    print("%d studies and %d lists (%d of them read here too) round trip; %d failed" %
          (studies_done, lists_done, plain, len(failures + more)))
    return 1 if failures or more else 0


if __name__ == "__main__":
    sys.exit(main())
