"""What run.py and callgrind.py share: the forwarder extension, the INI files
and stores under test, the call forms, and the targets."""

import configparser
import importlib.util
import math
import os
import shlex
import statistics
import subprocess
import sysconfig
from pathlib import Path
from typing import NamedTuple

from plain_store import PlainStore

HERE = Path(__file__).resolve().parent
BUILD = HERE / "build"

# The data every store starts from: sections of ten options each.  The values
# written by the benchmarks are the ones the file already holds, so a
# repeated call leaves the store, and the file, as it found them.
S, O, V = "section000", "option3", "value 3"
MISSING = "no such option"
OPTIONS = {f"option{j}": f"value {j}" for j in range(10)}
MAIN_SECTIONS = 20
SAVE_SIZES = (10, 100, 1000)  # options in the files of the save paths


def sections(count):
    return {f"section{i:03}": dict(OPTIONS) for i in range(count)}


def load_forwarder():
    """The benchmark-only extension, compiled when missing or out of date."""
    source = HERE / "forwarder.cpp"
    target = BUILD / f"_forwarder{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        BUILD.mkdir(exist_ok=True)
        partial = target.with_name(f"{target.name}.{os.getpid()}.tmp")
        cxx = shlex.split(sysconfig.get_config_var("CXX") or "c++")
        # The same optimisation as the extension's release build.
        subprocess.run([*cxx, "-std=c++20", "-O3", "-DNDEBUG", "-fPIC", "-shared", "-fno-exceptions",
                        "-fno-rtti", "-Wall", f"-I{sysconfig.get_paths()['include']}",
                        str(source), "-o", str(partial)], check=True)
        os.replace(partial, target)
    spec = importlib.util.spec_from_file_location("_forwarder", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Form(NamedTuple):
    """One call form: a statement per column, run on the stores of `fixture`
    (the 20-section file, or the save file of that many options)."""
    label: str
    stmts: dict
    fixture: object = "main"
    calls: int = 2000  # loop length under callgrind
    limit: float = 1.0  # most ini_main may cost against python, where there is no forwarder


COLUMNS = ("bare", "forwarder", "python", "ini_main", "python kw", "ini_main kw")

# method, the parser method it wraps, positional arguments, keyword arguments
SINGLE = (
    ("_has_section", "has_section", "s", "section=s"),
    ("_has_option", "has_option", "s, o", "section=s, option=o"),
    ("_sections", "sections", "", None),
    ("_options", "options", "s", "section=s"),
    ("_get", "get", "s, o", "section=s, option=o"),
)


def _single(method, parser_method, args, kwargs):
    stmts = {"bare": f"cp.{parser_method}({args})"}
    stmts.update(dict.fromkeys(("forwarder", "python", "ini_main"), f"st.{method}({args})"))
    if kwargs:
        stmts.update(dict.fromkeys(("python kw", "ini_main kw"), f"st.{method}({kwargs})"))
    return Form(f"{method}({args})", stmts)


def _peers(label, stmt, kw_stmt=None, bare=None, **options):
    stmts = {"bare": bare} if bare else {}
    stmts.update(dict.fromkeys(("python", "ini_main"), stmt))
    if kw_stmt:
        stmts.update(dict.fromkeys(("python kw", "ini_main kw"), kw_stmt))
    return Form(label, stmts, **options)


def _failing(call):
    return f"try:\n    {call}\nexcept configparser.Error:\n    pass"


FORMS = (
    *(_single(*row) for row in SINGLE),
    _peers("_set(s, o, v, False)", "st._set(s, o, v, False)", "st._set(s, o, v, save=False)",
           bare="cp.set(s, o, v)"),
    _peers("_get_option(s)", "st._get_option(s)", bare="cp.items(s)", calls=500),
    _peers("_get_all()", "st._get_all()", calls=20),
    _peers("_set_option(s, options, save=False)", "st._set_option(s, options, save=False)", calls=200),
    _peers("_set_all(sections, save=False)", "st._set_all(sections, save=False)", calls=20),
    *(_peers(f"_set(s, o, v), {n} options saved", "st._set(s, o, v)", fixture=n, calls=5, limit=1.03)
      for n in SAVE_SIZES),
    Form("_get(s, missing), failing",
         {"bare": _failing("cp.get(s, missing)"),
          **dict.fromkeys(("forwarder", "python", "ini_main"), _failing("st._get(s, missing)"))},
         calls=500, limit=1.5),
)

NAMES = ("st", "cp", "s", "o", "v", "missing", "options", "sections", "configparser")


class Fixtures:
    """The stores of every fixture, each on its own copy of the file, made on
    first use in `folder`."""

    def __init__(self, folder):
        from ini_main import TovrelIniMain

        self.folder = Path(folder)
        self.made = {}
        self.forwarder = load_forwarder()

        class ForwardStore(self.forwarder.Forwarder):
            def __init__(self, path):
                self._path = path
                self._config = configparser.ConfigParser()
                self._config.read(path, encoding="utf-8-sig")

        self.classes = {"forwarder": ForwardStore, "python": PlainStore, "ini_main": TovrelIniMain}
        self.sections = sections(MAIN_SECTIONS)

    def _store(self, fixture, kind):
        path = self.folder / f"{fixture}-{kind}.ini"
        parser = configparser.ConfigParser()
        parser.read_dict(self.sections if fixture == "main" else sections(fixture // len(OPTIONS)))
        with open(path, "w", encoding="utf-8-sig") as file:
            parser.write(file)
        if kind == "bare":
            return None, parser
        store = self.classes[kind](path)
        return store, store._config

    def namespace(self, fixture, column):
        """The values that the statement of `column` runs with, in NAMES order."""
        kind = column.split()[0]
        if (fixture, kind) not in self.made:
            self.made[fixture, kind] = self._store(fixture, kind)
        store, parser = self.made[fixture, kind]
        return (store, parser, S, O, V, MISSING, OPTIONS, self.sections, configparser)


class Target(NamedTuple):
    """`column` of `form` against `reference`: by their costs above the bare
    call ("overhead"), or by their totals ("total")."""
    label: str
    form: str
    column: str
    reference: str
    kind: str
    limit: float


SINGLE_LIMIT, KEYWORD_LIMIT = 1.15, 1.3
IMPORT_LIMIT_US = 1000


def _targets():
    for form, (method, _, _, kwargs) in zip(FORMS, SINGLE):
        yield Target(f"{method}: above bare, vs forwarder", form.label, "ini_main", "forwarder", "overhead",
                     SINGLE_LIMIT)
        if kwargs:
            yield Target(f"{method} by keyword: above bare, vs forwarder positional", form.label, "ini_main kw",
                         "forwarder", "overhead", KEYWORD_LIMIT)
    for form in FORMS[len(SINGLE):]:
        yield Target(f"{form.label}: total vs python", form.label, "ini_main", "python", "total", form.limit)
        if "ini_main kw" in form.stmts:
            yield Target(f"{form.label} by keyword: total vs python", form.label, "ini_main kw", "python kw",
                         "total", form.limit)


TARGETS = tuple(_targets())


def median_and_error(values):
    """The median, and its standard error estimated from the quartiles."""
    median = statistics.median(values)
    if len(values) < 4:
        return median, 0.0
    q1, _, q3 = statistics.quantiles(values, n=4)
    return median, 1.2533 * (q3 - q1) / 1.349 / math.sqrt(len(values))


def measure(target, results):
    """The target's figure and its standard error from `results`:
    {form label: {column: [samples]}}, samples paired by round, so that load
    that comes and goes hits both sides of a difference or a ratio alike."""
    values = results[target.form]
    mine, theirs = values[target.column], values[target.reference]
    if target.kind == "total":
        return median_and_error([a / b for a, b in zip(mine, theirs)])
    bare = values["bare"]
    above, above_error = median_and_error([a - b for a, b in zip(mine, bare)])
    floor, floor_error = median_and_error([a - b for a, b in zip(theirs, bare)])
    ratio = above / floor
    return ratio, abs(ratio) * math.hypot(above_error / above, floor_error / floor)


def print_targets(title, results, with_error):
    """The table of targets: measured value, limit, verdict (and ± for times)."""
    print(f"\n| target, {title} | measured |" + (" ± |" if with_error else "") + " limit | |")
    print("|---|---:|" + ("---:|" if with_error else "") + "---:|---|")
    for target in TARGETS:
        if target.form in results:
            value, error = measure(target, results)
            verdict = "PASS" if value <= target.limit else "MISS"
            spread = f" {error:.3f} |" if with_error else ""
            print(f"| {target.label} | {value:.3f} |{spread} {target.limit} | {verdict} |")
