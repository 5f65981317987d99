"""Every method of the store, used as a type-checked program would use it.

mypy --strict checks this file against the types shipped with ini_main; it
also runs: python examples/typed_usage.py [folder]
"""

from __future__ import annotations

import configparser
import pathlib
import sys
import tempfile
from typing import Literal

from ini_main import TovrelIniMain

Settings = dict[str, dict[str, str]]


def port_of(store: TovrelIniMain, default: int = 8080) -> int:
    if store._has_section("server") and store._has_option("server", "port"):
        return int(store._get("server", "port"))
    return default


def main(folder: pathlib.Path) -> Settings:
    path = folder / "typed.ini"
    store = TovrelIniMain(path)  # any str, bytes or path-like object
    parser: configparser.ConfigParser = store._config
    print("bound to", store._path, "with", type(parser).__name__)

    written: Literal[True] = store._set("server", "port", 8080)  # values: any object, stored as text
    store._set_section("client", save=False)
    store._set_option("client", {"retries": 3, "verbose": True}, save=0)  # save: any truth value
    store._set_all({"paths": {"home": "/srv"}, "empty": {}})
    assert written

    sections: list[str] = store._sections()
    options: list[str] = store._options("client")
    print("sections", sections, "client options", options, "port", port_of(store))

    client: dict[str, str] = store._get_option("client")
    everything: Settings = store._get_all()
    store._set_all(everything)  # what _get_all gives, _set_all takes back
    print("client", client)

    removed: bool = store._remove_option("client", "verbose")
    gone: bool = store._remove_section("empty", save=False)
    print("removed verbose:", removed, "removed empty section:", gone)

    store._save()  # written, and the parser emptied ...
    store._read()  # ... until it reads the file back
    store._set_path()  # a fresh parser, loaded from the file
    return store._get_all()


if __name__ == "__main__":
    if len(sys.argv) > 1:
        print(main(pathlib.Path(sys.argv[1])))
    else:
        with tempfile.TemporaryDirectory() as tmp:
            print(main(pathlib.Path(tmp)))
