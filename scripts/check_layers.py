#!/usr/bin/env python3
"""Fails when a folder of src/ reaches a layer above it: an #include of a folder listed later in the layer
table of docs/DESIGN.md, or a CMake link of its library to such a folder's library. Folders on one row of the
table may use each other. The public headers (include/karvex) may include only each other.

    python3 scripts/check_layers.py              # the tree this script is in; exit 1 on any finding
    python3 scripts/check_layers.py --root DIR   # another tree with the same layout
    python3 scripts/check_layers.py --self-test  # plants an upward include and link in a copy and expects both
"""

import os
import re
import shutil
import sys
import tempfile

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
LINK = re.compile(r"target_link_libraries\s*\(\s*karvex_(\w+)([^)]*)\)", re.S)
ROW = re.compile(r"^\|\s*(`[a-z_]+/`(?:\s*,\s*`[a-z_]+/`)*)\s*\|")


def layer_ranks(root):
    """Folder -> its row in the table under "## Layers" of docs/DESIGN.md (0 is the lowest layer)."""
    ranks = {}
    in_layers = False
    with open(os.path.join(root, "docs", "DESIGN.md"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                in_layers = line.strip() == "## Layers"
                continue
            m = ROW.match(line) if in_layers else None
            if m:
                rank = len(set(ranks.values()))
                for name in re.findall(r"`([a-z_]+)/`", m.group(1)):
                    ranks[name] = rank
    return ranks


def sources(folder):
    for dirpath, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith((".h", ".cpp")):
                yield os.path.join(dirpath, name)


def included_folder(target, own, folders, by_name):
    """The src folder an include names: "store/schema.h", or a bare name found in one folder's directory."""
    if "/" in target:
        head = target.split("/", 1)[0]
        return head if head in folders or head == "karvex" else None
    if os.path.exists(os.path.join(own, target)):
        return None
    return by_name.get(target)


def check(root):
    ranks = layer_ranks(root)
    src = os.path.join(root, "src")
    folders = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
    findings = []
    for name in folders:
        if name not in ranks:
            findings.append(f"src/{name}/: not in the layer table of docs/DESIGN.md")
    by_name = {}
    for name in folders:
        for path in sources(os.path.join(src, name)):
            by_name.setdefault(os.path.basename(path), name)

    for name in folders:
        if name not in ranks:
            continue
        for path in sources(os.path.join(src, name)):
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    other = included_folder(m.group(1), os.path.dirname(path), ranks, by_name)
                    if other in (None, "karvex", name) or other not in ranks:
                        continue
                    if ranks[other] > ranks[name]:
                        rel = os.path.relpath(path, root)
                        findings.append(f"{rel}:{number}: {name}/ includes {m.group(1)}, from {other}/, a layer above it")
        cmake = os.path.join(src, name, "CMakeLists.txt")
        if os.path.exists(cmake):
            with open(cmake, encoding="utf-8") as f:
                text = f.read()
            for m in LINK.finditer(text):
                user = m.group(1)
                for used in re.findall(r"\bkarvex_(\w+)", m.group(2)):
                    if user in ranks and used in ranks and ranks[used] > ranks[user]:
                        rel = os.path.relpath(cmake, root)
                        number = text.count("\n", 0, m.start()) + 1
                        findings.append(f"{rel}:{number}: karvex_{user} links karvex_{used}, a layer above it")

    public = os.path.join(root, "include", "karvex")
    for path in sources(public):
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if m and not m.group(1).startswith("karvex/"):
                    rel = os.path.relpath(path, root)
                    findings.append(f"{rel}:{number}: a public header includes {m.group(1)}, outside include/karvex")
    return findings


def self_test(root):
    """The check must refuse an upward include and an upward link planted in a copy of this tree."""
    with tempfile.TemporaryDirectory() as tmp:
        for part in ("docs", "src", "include"):
            shutil.copytree(os.path.join(root, part), os.path.join(tmp, part))
        before = check(tmp)
        if before:
            print("the tree itself fails the check:", *before, sep="\n  ")
            return 1
        with open(os.path.join(tmp, "src", "store", "planted.cpp"), "w", encoding="utf-8") as f:
            f.write('#include "store/schema.h"\n#include "journal/sales_journal.h"\n')
        with open(os.path.join(tmp, "src", "control", "CMakeLists.txt"), "a", encoding="utf-8") as f:
            f.write("target_link_libraries(karvex_control PUBLIC karvex_console)\n")
        after = check(tmp)
        wanted = ["src/store/planted.cpp:2:", "src/control/CMakeLists.txt:"]
        missed = [w for w in wanted if not any(a.startswith(w) for a in after)]
        for line in after:
            print(line)
        if missed or len(after) != len(wanted):
            print("the check did not report exactly the planted faults:", missed or after)
            return 1
    print("planted upward include and link reported")
    return 0


def main(argv):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if "--root" in argv:
        root = argv[argv.index("--root") + 1]
    if "--self-test" in argv:
        return self_test(root)
    findings = check(root)
    for line in findings:
        print(line)
    if findings:
        print(f"{len(findings)} reach(es) into a layer above; the order is the table under \"Layers\" in docs/DESIGN.md")
        return 1
    print("layers: every include and link points down")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
