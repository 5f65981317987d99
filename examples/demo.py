"""An application's settings kept in one INI file with ini_main.

Run with ./dev demo.  Each step prints a heading, what the store answers, and
the file as it stands on disk, so you can watch what a saving change writes
and what save=False keeps in memory.
"""

import configparser
import pathlib
import sys
import tempfile
import traceback

from ini_main import TovrelIniMain

# A file as a person leaves it: comments, blank lines, odd spacing, a note.
HAND_EDITED = """\
# Settings of the app, edited by hand
[window]
width=1280
height   :   800    ; was 600

; fonts: see the manual
[editor]
font = DejaVu Sans Mono
"""

DEFAULTS = {
    "window": {"width": 1280, "height": 800, "maximised": False},
    "editor": {"font": "DejaVu Sans Mono", "tab width": 4},
}


def step(title):
    print(f"--- {title}")


def show(path):
    if not path.exists():
        print("(no file yet)\n")
        return
    data = path.read_bytes()
    bom = data.startswith(b"\xef\xbb\xbf")
    text = data.decode("utf-8-sig").rstrip("\n")
    print(f"{path.name} ({len(data)} bytes{', UTF-8 byte-order mark' if bom else ''}):")
    print(text or "(empty)")
    print()


def hand_edited(folder):
    path = pathlib.Path(folder) / "hand.ini"
    path.write_text(HAND_EDITED, encoding="utf-8")
    step("a file edited by hand: comments, blank lines, odd spacing, a note")
    show(path)
    store = TovrelIniMain(path)
    print("the store sees (the note after 800 is part of the value):")
    for section, options in store._get_all().items():
        print(f"  [{section}] {options}")
    store._set("window", "maximised", "no")
    print("\nafter the first saving change, _set: comments and blank lines are gone")
    show(path)


def main(folder):
    hand_edited(folder)

    path = pathlib.Path(folder) / "app.ini"
    store = TovrelIniMain(str(path))
    step("a new store: nothing is written until the first saving change")
    show(path)

    step("first run: defaults written in one save")
    if not store._has_section("window"):
        store._set_all(DEFAULTS)  # one write for every section and option
    show(path)

    step("user widens the window: _set saves at once")
    store._set("window", "width", 1920)  # values are stored as text: 1920 -> '1920'
    show(path)

    step("two edits with save=False: the file has not changed")
    store._set("editor", "theme", "dark", save=False)
    store._set("editor", "tab width", 2, save=False)
    print("in memory:", store._get_option("editor"))
    show(path)

    step("a saving change writes everything held in memory")
    store._set_section("recent files")
    show(path)

    step("a dictionary of options, one save")
    store._set_option("recent files", {"1": "/home/ann/notes.txt", "2": "/home/ann/todo.txt"})
    show(path)

    step("removals, each saved (a missing section too)")
    print("removed editor/theme:", store._remove_option("editor", "theme"))
    print("removed a missing section:", store._remove_section("no such section"))
    show(path)

    step("a second store on the same file reads it back")
    reopened = TovrelIniMain(str(path))
    for section, options in reopened._get_all().items():
        print(f"  [{section}] {options}")
    print("width as stored:", repr(reopened._get("window", "width")))
    print()

    step("a write the file could not carry is refused, and nothing changes")
    before = path.read_bytes()
    try:
        store._set("window", "title", "mallory\r[admin]\rrole = root")  # "\r" would start a line
    except ValueError as error:
        print("ValueError:", error)
    print("file unchanged:", path.read_bytes() == before, "| in memory:", store._get_option("window"))
    print()

    step("an error, with the store's statement in its traceback")
    try:
        store._get("window", "depth")
    except configparser.NoOptionError as error:
        print("".join(traceback.format_exception(error, chain=False)))


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as folder:
            main(folder)
