#!/usr/bin/env python3
"""kpm-check agrees with kpm: over every study of the tests and examples and a
few thousand generated faulty studies, kpm ends with status 1 in its reading
stage exactly when kpm-check reports at least one error.

Usage: agreement.py BUILD_DIR SOURCE_DIR [COUNT [SEED]]
The generated studies take faults of every kind, alone and mixed, at random
places of the example studies. A disagreement prints the study and both
verdicts, and the study is kept in the folder named at the end.
"""
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile

build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
count = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
seed = int(sys.argv[4]) if len(sys.argv) > 4 else 1
kpm = os.path.join(build, "kpm")
check = os.path.join(build, "kpm-check")
work = tempfile.mkdtemp(prefix="kpm-agree.")
kept = os.path.join(work, "disagreements")


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ------------------------------------------------------------ faults

def at_random_tag(rnd, text, pattern):
    """The offsets of every occurrence of pattern; one at random, or -1."""
    spots, i = [], text.find(pattern)
    while i >= 0:
        spots.append(i)
        i = text.find(pattern, i + 1)
    return rnd.choice(spots) if spots else -1


def insert_in_load(rnd, text, piece):
    i = at_random_tag(rnd, text, b"</load>")
    return text if i < 0 else text[:i] + piece + text[i:]


def replace_one(rnd, text, old, new):
    i = at_random_tag(rnd, text, old)
    return text if i < 0 else text[:i] + new + text[i + len(old):]


def value_fault(rnd, text):
    tag = rnd.choice([b"lf", b"connected_load", b"peak_fraction", b"pf"])
    value = rnd.choice([b"-1", b"1.5", b"2", b"0", b"-0", b"nan", b"inf", b"-inf", b"1e308", b"0.99", b"12kW",
                        b"0,5", b"1,500", b"", b" ", b"n/a", b"0x1p-1", b"-0.000001", b"1.0000001"])
    if tag == b"lf":
        i = at_random_tag(rnd, text, b"<lf ")
        if i < 0:
            return text
        j = text.find(b">", i)
        k = text.find(b"</lf>", j)
        return text[:j + 1] + value + text[k:] if j >= 0 and k >= 0 else text
    piece = b"<" + tag + b">" + value + b"</" + tag + b">"
    return insert_in_load(rnd, text, piece)


FAULTS = [
    # XML
    lambda r, t: replace_one(r, t, b"</load>", b"</lod>"),
    lambda r, t: replace_one(r, t, b"</name>", b"</load>"),
    lambda r, t: replace_one(r, t, b"</lf>", b"</lf x>"),
    lambda r, t: replace_one(r, t, b">", b""),
    lambda r, t: replace_one(r, t, b"<", b""),
    lambda r, t: t[: r.randrange(len(t) + 1)],
    lambda r, t: insert_in_load(r, t, b"<!>"),
    lambda r, t: insert_in_load(r, t, b"<!- x ->"),
    lambda r, t: insert_in_load(r, t, b"<![CDATX[ x ]]>"),
    lambda r, t: b"<!DOCTYPE kpm>\n" + t,
    lambda r, t: insert_in_load(r, t, b"<!-- a <!-- b --> c -->"),
    lambda r, t: insert_in_load(r, t, b"<!--" + b"x" * 70000 + b"-->"),
    lambda r, t: insert_in_load(r, t, b"<c " + b"a" * 70000 + b"/>"),
    lambda r, t: insert_in_load(r, t, b"<c>" + b"<c>" * 1100 + b"</c>" * 1101),
    lambda r, t: replace_one(r, t, b"</load>", b"</load>" + b" " * 70000),
    lambda r, t: t + b"<!>",
    lambda r, t: t + b"<!-- left open",
    lambda r, t: t + b"<load><name>extra</name></load>",
    lambda r, t: b"</kpm>" + t,
    # the study
    lambda r, t: insert_in_load(r, t, b"<x/>"),
    lambda r, t: insert_in_load(r, t, b"<![CDATA[ x ]]>"),
    lambda r, t: insert_in_load(r, t, b"<?pi x?>"),
    lambda r, t: replace_one(r, t, b"<operational_conditions>", b"<operational_conditions><x/>"),
    lambda r, t: replace_one(r, t, b"<lf ", b"<lf OC=\"x\" "),
    lambda r, t: replace_one(r, t, b" ac=\"", b" xc=\""),
    lambda r, t: replace_one(r, t, b"<lf ", b"<lf oc "),
    lambda r, t: insert_in_load(r, t, b"<lf oc=\"nowhere\" ac=\"summer\">0.1</lf>"),
    lambda r, t: replace_one(r, t, b"oc=\"", b"oc=\" "),
    lambda r, t: replace_one(r, t, b"<load>", b"<load><lf oc=\"cruise\" ac=\"summer\">0.1</lf>"),
    lambda r, t: t.replace(b"<operational_conditions>", b"<c>").replace(b"</operational_conditions>", b"</c>"),
    lambda r, t: t.replace(b"<ambient_conditions>", b"<c>").replace(b"</ambient_conditions>", b"</c>"),
    lambda r, t: replace_one(r, t, b"<name order=", b"<name Order="),
    lambda r, t: replace_one(r, t, b"order=\"", b"order='"),
    lambda r, t: b"<?xml version=\"1.0\"?>\n" + t,
    lambda r, t: b"<!-- a study -->\n" + t,
    lambda r, t: t.replace(b"<kpm>", b"<study>", 1),
    lambda r, t: t.replace(b"<kpm>", b"<KPM>", 1).replace(b"</kpm>", b"</KPM>"),
    lambda r, t: b"",
    lambda r, t: b"just text",
    value_fault,
    value_fault,
    value_fault,
]


# What kpm accepts and kpm-check only warns of.
BENIGN = [
    lambda r, t: replace_one(r, t, b"<connected_load>", b"<connected_load unit=\"W\">"),
    lambda r, t: replace_one(r, t, b"</connected_load>", b"kW</connected_load>"),
    lambda r, t: replace_one(r, t, b"<name order=", b"<name orde="),
    lambda r, t: replace_one(r, t, b"order=\"", b"order='"),
    lambda r, t: replace_one(r, t, b"</load>", b"--></load>"),
    lambda r, t: replace_one(r, t, b"</load>", b"</load>-->"),
    lambda r, t: insert_in_load(r, t, b"<pf></pf><pf>0.9</pf>"),
    lambda r, t: insert_in_load(r, t, b"<name><![CDATA[x]]></name>"),
    lambda r, t: insert_in_load(r, t, b"<name>a, \"b\"</name>"),
    lambda r, t: t + t,
    lambda r, t: replace_one(r, t, b"</load>", b"</load>" + t[t.find(b"<load>"):t.find(b"</load>") + 7]),
    lambda r, t: replace_one(r, t, b"</kpm>", b"<load><name>idle</name><lf oc=\"Cruise\" ac=\"Summer\">0</lf></load></kpm>"),
    lambda r, t: replace_one(r, t, b"<connected_load>", b"<connected_load>1e308"),
    lambda r, t: replace_one(r, t, b"</ambient_conditions>", b"<name order=\"9\">Arctic</name></ambient_conditions>"),
    lambda r, t: t.replace(b"\n", b"\r\n"),
    lambda r, t: b"\xef\xbb\xbf" + t,
]


def studies_of_the_tests():
    """Every study file of the tests (kpm's cases and the companion programs') and examples, those made by a
    case's setup included."""
    found = []
    walks = [os.walk(os.path.join(source, "tests", d)) for d in ("cli", "tools")]
    made_count = 0
    for root, _, files in (entry for walk in walks for entry in walk):
        for f in files:
            if f.endswith(".xml"):
                found.append(os.path.join(root, f))
        if "setup" in files:
            made_count += 1
            made = os.path.join(work, "setup-%d" % made_count)
            os.mkdir(made)
            for f in files:
                if f not in ("setup", "args", "stdout", "stderr", "status"):
                    shutil.copy(os.path.join(root, f), made)
            subprocess.run(["bash", os.path.join(root, "setup")], cwd=made, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            for f in os.listdir(made):
                if f.endswith(".xml") and os.path.isfile(os.path.join(made, f)):
                    found.append(os.path.join(made, f))
    for f in sorted(os.listdir(os.path.join(source, "examples"))):
        if f.endswith(".xml"):
            found.append(os.path.join(source, "examples", f))
    return sorted(found)


def generated(n):
    rnd = random.Random(seed)
    bases = [read(os.path.join(source, "examples", f)) for f in ("example.xml", "ship-zone.xml")]
    folder = os.path.join(work, "generated")
    os.mkdir(folder)
    paths = []
    for i in range(n):
        text = rnd.choice(bases)
        kinds = BENIGN if i % 4 == 0 else FAULTS + BENIGN
        for _ in range(1 if i % 3 else rnd.randint(2, 4)):  # one fault, or several
            text = rnd.choice(kinds)(rnd, text)
        path = os.path.join(folder, "s%05d.xml" % i)
        with open(path, "wb") as f:
            f.write(text)
        paths.append(path)
    return paths


def verdicts(path):
    folder, name = os.path.split(path)
    run = subprocess.run([kpm, name], cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    refused = b" *** Error in read_xml_file(" in run.stderr
    checked = subprocess.run([check, "-q", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return path, refused, checked.returncode, checked.stdout


def main():
    paths = studies_of_the_tests()
    tests = len(paths)
    paths += generated(count)
    bad = 0
    refusals = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, refused, status, out in pool.map(verdicts, paths):
            refusals += refused
            if status not in (0, 1) or (status == 1) != refused:
                bad += 1
                os.makedirs(kept, exist_ok=True)
                shutil.copy(path, kept)
                print("--- %s: kpm %s it, kpm-check exits with %d" % (path, "refuses" if refused else "accepts", status))
                sys.stdout.write(out.decode("utf-8", "replace")[:2000])
    print("%d studies of the tests and %d generated ones, %d refused by kpm: %d disagreements"
          % (tests, count, refusals, bad))
    if bad:
        print("kept in " + kept)
        return 1
    shutil.rmtree(work)
    return 0


sys.exit(main())
