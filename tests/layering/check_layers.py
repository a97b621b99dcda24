#!/usr/bin/env python3
"""The order of the house: a folder of src/ includes only itself and the folders
below it, only src/ui includes Qt, and src/CMakeLists.txt links each folder's
library only to lower ones. Prints every breach and exits 1 when there is one.

usage: check_layers.py <src folder>
"""
import pathlib
import re
import sys

# Lowest first.
RANKS = {name: rank for rank, name in enumerate(
    ["base", "channels", "device", "scan", "server", "radiotext", "capture", "player", "app", "ui"])}
QT_FOLDER = "ui"

LOCAL_INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SYSTEM_INCLUDE = re.compile(r'^\s*#\s*include\s*<(Q[A-Za-z]*|Qt[A-Za-z]*/[^>]*)>', re.M)
# Process-wide objects that only their home and the program entry may name;
# everyone else is handed them as a reference.
NAMED_ONLY_BY = {
    "Dvb": {"app/ProcessWide.h", "app/ProcessWide.cpp", "app/ProgramEntry.cpp"},
}
LAYER_CALL = re.compile(r'^\s*mc_layer\(\s*(\w+)([^)]*)\)', re.M)


def breaches(src: pathlib.Path):
    for folder in sorted(p for p in src.iterdir() if p.is_dir()):
        rank = RANKS.get(folder.name)
        if rank is None:
            yield f"{folder.name}/: a folder the order of the house does not know"
            continue
        for path in sorted(folder.rglob("*")):
            if path.suffix not in (".h", ".cpp") or not path.is_file():
                continue
            text = path.read_text(encoding="utf-8", errors="replace")
            name = path.relative_to(src)
            for target in LOCAL_INCLUDE.findall(text):
                top = target.split("/", 1)[0] if "/" in target else None
                if top in RANKS and RANKS[top] > rank:
                    yield f"{name} includes {target}: {top} stands above {folder.name}"
            code = re.sub(r"//[^\n]*", "", text)
            for obj, homes in NAMED_ONLY_BY.items():
                if str(name) not in homes and re.search(rf"\b{obj}\b", code):
                    yield f"{name} names the process-wide {obj}: take it as a reference"
            if folder.name != QT_FOLDER:
                for header in SYSTEM_INCLUDE.findall(text):
                    yield f"{name} includes <{header}>: only {QT_FOLDER}/ uses Qt"
    cmake = src / "CMakeLists.txt"
    if cmake.is_file():
        for folder, args in LAYER_CALL.findall(cmake.read_text(encoding="utf-8")):
            for lib in re.findall(r"\bmc_(\w+)", args):
                if lib in RANKS and folder in RANKS and RANKS[lib] >= RANKS[folder]:
                    yield f"CMakeLists.txt: mc_{folder} links mc_{lib}, which does not stand below it"


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    found = list(breaches(pathlib.Path(argv[1])))
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
