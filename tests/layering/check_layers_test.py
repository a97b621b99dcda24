#!/usr/bin/env python3
"""The layer check itself: it passes a tree in order and names each kind of
breach planted into a copy of one."""
import pathlib
import subprocess
import sys
import tempfile

CHECK = pathlib.Path(__file__).with_name("check_layers.py")

CLEAN = {
    "base/RingBuffer.h": "#pragma once\n#include <mutex>\n",
    "capture/Run.cpp": '#include "base/RingBuffer.h"\n#include "server/AudioServer.h"\n#include "xaudio.h"\n',
    "server/AudioServer.h": '#include "base/RingBuffer.h"\n',
    "ui/MainWindow.cpp": '#include <QWidget>\n#include "capture/Run.h"\n#include "ui/controls/Bar.h"\n',
    "ui/controls/Bar.h": "#include <QtGui/QPainter>\n",
    "CMakeLists.txt": "mc_layer(base LINKS Threads::Threads)\nmc_layer(capture LINKS mc_server mc_base)\n",
}

PLANTED = [
    ("upward include", "base/Paths.cpp", '#include "capture/Run.h"\n', "base/Paths.cpp includes capture/Run.h"),
    ("upward include in a subfolder", "capture/codec/Enc.cpp", '#include "app/Cli.h"\n',
     "capture/codec/Enc.cpp includes app/Cli.h"),
    ("include of a sibling above", "server/Client.cpp", '  #  include "capture/Run.h"\n', "server/Client.cpp includes"),
    ("Qt below the windows", "capture/Meter.cpp", "#include <QTimer>\n", "only ui/ uses Qt"),
    ("Qt module header", "app/Main.cpp", "#include <QtWidgets/QApplication>\n", "only ui/ uses Qt"),
    ("unknown folder", "widgets/Old.h", "#pragma once\n", "widgets/: a folder the order"),
    ("process-wide table reached", "scan/Scan.cpp", "bool x = Dvb.DVBOpen;\n", "names the process-wide Dvb"),
    ("upward link", "CMakeLists.txt", "mc_layer(server LINKS mc_capture)\n", "mc_server links mc_capture"),
]


def run(tree):
    return subprocess.run([sys.executable, str(CHECK), str(tree)], capture_output=True, text=True)


def write(tree, files):
    for name, body in files.items():
        path = tree / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(body)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        clean = pathlib.Path(tmp) / "clean"
        write(clean, CLEAN)
        result = run(clean)
        if result.returncode != 0:
            failures.append(f"clean tree refused: {result.stdout}")
        for i, (what, name, body, expected) in enumerate(PLANTED):
            tree = pathlib.Path(tmp) / f"planted{i}"
            files = dict(CLEAN)
            files[name] = files.get(name, "") + body
            write(tree, files)
            result = run(tree)
            if result.returncode != 1 or expected not in result.stdout:
                failures.append(f"{what}: exit {result.returncode}, output {result.stdout!r}")
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
