"""Instructions per call, counted by callgrind.

Runs itself once under `valgrind --tool=callgrind` with collection of each
loop (a fixed number of calls of one form in one column, harness.FORMS)
zeroed before it and dumped after it, and an empty loop of each length as
the baseline.  Prints instructions per call, loop overhead subtracted, and
the targets measured in instructions.  Usage:
./dev callgrind [--only TEXT] [--keep FOLDER]
--keep leaves the dumps in FOLDER for callgrind_annotate (one file per loop,
listed with its label).
"""

import argparse
import gc
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import harness


def chosen_forms(only):
    return [form for form in harness.FORMS if not only or only in form.label]


def make_loop(stmt, values):
    body = textwrap.indent(stmt, " " * 8)
    source = f"def loop(_n, {', '.join(harness.NAMES)}):\n    for _ in range(_n):\n{body}\n"
    namespace = {}
    exec(source, namespace)
    return lambda n: namespace["loop"](n, *values)


def build_id(path):
    """The 20 bytes of the object's GNU build-id note (name size 4, size 20, type 3)."""
    data = Path(path).read_bytes()
    note = data.find(b"\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0")
    return data[note + 16:note + 36] if note >= 0 else None


def import_with_symbols():
    """Imports ini_main from the build folder when the object there is the
    installed one (same build id) before stripping, so that the dumps name
    the extension's functions.  The code, and so every count, is the same."""
    installed = importlib.util.find_spec("ini_main").origin
    wanted = build_id(installed)
    for candidate in (harness.HERE.parent / "build").glob(f"*/{Path(installed).name}"):
        if wanted and build_id(candidate) == wanted:
            spec = importlib.util.spec_from_file_location("ini_main", candidate)
            module = importlib.util.module_from_spec(spec)
            sys.modules["ini_main"] = module
            spec.loader.exec_module(module)
            return


def child(only):
    """Under callgrind: one dump per loop, labelled 'FORM-INDEX COLUMN' or 'empty N'."""
    import_with_symbols()
    gc.disable()
    forms = chosen_forms(only)
    with tempfile.TemporaryDirectory() as folder:
        fixtures = harness.Fixtures(folder)
        jobs = [(f"{i} {column}", stmt, form.fixture, column, form.calls)
                for i, form in enumerate(forms) for column, stmt in form.stmts.items()]
        jobs += [(f"empty {n}", "pass", "main", "bare", n) for n in sorted({form.calls for form in forms})]
        for label, stmt, fixture, column, calls in jobs:
            loop = make_loop(stmt, fixtures.namespace(fixture, column))
            loop(min(calls, 50))  # let the interpreter specialise the loop first
            fixtures.forwarder.zero_stats()
            loop(calls)
            fixtures.forwarder.dump_stats(label)


def read_dumps(folder):
    """{label: instructions} from callgrind's dump files, and {label: file}."""
    counts, files = {}, {}
    for path in Path(folder).glob("callgrind.out*"):
        text = path.read_text(errors="replace")
        label = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        if label and total:
            counts[label[1]] = int(total[1])
            files[label[1]] = path
    return counts, files


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="only the forms whose label contains this text")
    parser.add_argument("--keep", help="folder to keep callgrind's dumps in")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.only)

    harness.load_forwarder()  # compiled here, not under valgrind
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        for stale in Path(folder).glob("callgrind.out*"):
            stale.unlink()
        # Names written out in full in every dump, so that each one reads on its own.
        command = ["valgrind", "--tool=callgrind", "--compress-strings=no",
                   f"--callgrind-out-file={folder}/callgrind.out", sys.executable, __file__, "--child"]
        command += ["--only", args.only] if args.only else []
        print("running under callgrind (a minute or so)...", file=sys.stderr, flush=True)
        # A fixed hash seed keeps dictionary probing, and so the counts, the same from run to run.
        done = subprocess.run(command, env={**os.environ, "PYTHONHASHSEED": "0"}, stderr=subprocess.PIPE, text=True)
        if done.returncode:
            sys.exit(done.stderr[-4000:])
        counts, files = read_dumps(folder)

    forms = chosen_forms(args.only)
    results = {}
    print("\nInstructions per call (empty loop subtracted):\n")
    print("| form | " + " | ".join(harness.COLUMNS) + " |")
    print("|---|" + "---:|" * len(harness.COLUMNS))
    for i, form in enumerate(forms):
        empty = counts[f"empty {form.calls}"]
        results[form.label] = {c: [(counts[f"{i} {c}"] - empty) / form.calls] for c in form.stmts}
        cells = [f"{results[form.label][c][0]:,.0f}" if c in form.stmts else "" for c in harness.COLUMNS]
        print(f"| `{form.label}` | " + " | ".join(cells) + " |")

    harness.print_targets("in instructions", results, with_error=False)

    if args.keep:
        print("\ndumps, for callgrind_annotate --inclusive=yes:")
        for i, form in enumerate(forms):
            for column in form.stmts:
                print(f"  {form.label} [{column}]: {files[f'{i} {column}']}")

if __name__ == "__main__":
    main()
