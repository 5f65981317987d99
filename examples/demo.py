"""An application's settings kept in one INI file with ini_main.

Run with ./dev demo.  Each step prints the file as it stands on disk, so you
can watch what a saving change writes and what save=False keeps in memory.
"""

import pathlib
import sys
import tempfile

from ini_main import TovrelIniMain

DEFAULTS = {
    "window": {"width": 1280, "height": 800, "maximised": False},
    "editor": {"font": "DejaVu Sans Mono", "tab width": 4},
}


def show(path, title):
    print(f"--- {title}")
    if not path.exists():
        print("(no file yet)\n")
        return
    data = path.read_bytes()
    bom = data.startswith(b"\xef\xbb\xbf")
    text = data.decode("utf-8-sig").rstrip("\n")
    print(f"{path.name} ({len(data)} bytes{', UTF-8 byte-order mark' if bom else ''}):")
    print(text or "(empty)")
    print()


def main(folder):
    path = pathlib.Path(folder) / "app.ini"
    store = TovrelIniMain(str(path))
    show(path, "a new store: nothing is written until the first saving change")

    if not store._has_section("window"):
        store._set_all(DEFAULTS)  # one write for every section and option
    show(path, "first run: defaults written in one save")

    store._set("window", "width", 1920)  # values are stored as text: 1920 -> '1920'
    show(path, "user widens the window: _set saves at once")

    store._set("editor", "theme", "dark", save=False)
    store._set("editor", "tab width", 2, save=False)
    print("in memory:", store._get_option("editor"))
    show(path, "two edits with save=False: the file has not changed")

    store._set_section("recent files")  # a saving change writes the earlier edits too
    show(path, "a saving change writes everything held in memory")

    store._set_option("recent files", {"1": "/home/ann/notes.txt", "2": "/home/ann/todo.txt"})
    show(path, "a dictionary of options, one save")

    removed = store._remove_option("editor", "theme")
    print("removed editor/theme:", removed)
    removed = store._remove_section("no such section")
    print("removed a missing section:", removed)
    show(path, "after removals (each saved)")

    reopened = TovrelIniMain(str(path))
    print("a second store on the same file reads:")
    for section, options in reopened._get_all().items():
        print(f"  [{section}] {options}")
    print("width as stored:", repr(reopened._get("window", "width")))


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as folder:
            main(folder)
