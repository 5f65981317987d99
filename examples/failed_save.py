"""What a careful program does when saving its settings fails.

Run: python examples/failed_save.py [folder]   (with ini_main installed, e.g.
.venv/bin/python after ./dev demo).

A save that fails raises OSError from the store method and leaves the store
as it was before the save: the change is kept in memory, nothing is emptied.
So the program catches OSError, tells the user, fixes the cause (or lets the
user fix it) and saves again: store._save() followed by store._read().
"""

import os
import pathlib
import shutil
import sys
import tempfile

from ini_main import TovrelIniMain


def save_again(store):
    """The save-and-reload step by hand: write everything, then read it back.

    _save() leaves the store empty until _read(); the two always go together.
    """
    store._save()
    store._read()


def report(exc):
    print(f"  save failed: {type(exc).__name__}: {exc.strerror or exc}")


def on_disk(path):
    return TovrelIniMain(path)._get_all()


def folder_removed(base):
    print("1. The settings folder disappears between two saves")
    folder = base / "conf"
    folder.mkdir()
    path = folder / "app.ini"
    store = TovrelIniMain(path)
    store._set_option("app", {"theme": "light", "lines": 40})
    print("  saved:", on_disk(path))

    shutil.rmtree(folder)
    try:
        store._set("app", "theme", "dark")
    except OSError as exc:
        report(exc)
    print("  still in memory:", store._get_option("app"))

    folder.mkdir()  # the cause fixed
    save_again(store)
    print("  saved again:", on_disk(path))


def path_is_a_directory(base):
    print("2. A directory stands where the file should be")
    path = base / "settings.ini"
    path.mkdir()
    store = TovrelIniMain(path)  # reading passes over it: the store starts empty
    # Batch the changes in memory, then save once: a failure loses nothing.
    store._set("window", "width", 1280, save=False)
    store._set("window", "height", 800, save=False)
    try:
        save_again(store)
    except IsADirectoryError as exc:
        report(exc)
    print("  still in memory:", store._get_all())

    # A saving _set on a section the store does not have saves twice: first
    # the new empty section, then the value. When the first save fails, the
    # value has not been set yet, so the careful program repeats the call.
    try:
        store._set("editor", "font", "mono")
    except IsADirectoryError as exc:
        report(exc)
    print("  'editor' section added:", store._has_section("editor"),
          "- 'font' set:", store._has_option("editor", "font"))

    path.rmdir()  # the cause fixed
    store._set("editor", "font", "mono")  # repeating a write is harmless
    print("  saved again:", on_disk(path))


def disk_full(base):
    print("3. The disk is full")
    if not os.access("/dev/full", os.W_OK):
        print("  (skipped: this system has no writable /dev/full)")
        return
    path = base / "full.ini"
    store = TovrelIniMain(path)
    store._set("cache", "size", 10)
    # /dev/full accepts the open, then fails every write with "No space left on
    # device", as a full disk does. _save closes the file itself, so the error
    # of that last flush reaches us too.
    store._path = "/dev/full"
    try:
        store._set("cache", "size", 20)
    except OSError as exc:
        report(exc)
    print("  still in memory:", store._get_option("cache"))

    store._path = path  # space freed
    save_again(store)
    print("  saved again:", on_disk(path))


def main(folder):
    base = pathlib.Path(folder)
    for case in (folder_removed, path_is_a_directory, disk_full):
        case(base)
        print()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(tmp)
