"""Real INI files, the interpreter's own test files and generated ones of real-world shape: the
store holds what a bare parser reads from them, and saving and reloading them is stable."""
import configparser
import shutil
import sysconfig
from pathlib import Path

import pytest

import ini_main
from conftest import BOM

STDLIB_DATA = Path(sysconfig.get_paths()["stdlib"]) / "test" / "configdata"


def large(sections=40, options=100):
    return "".join(f"[section {s}]\n" + "".join(f"option_{o} = value {s}.{o} ü\n" for o in range(options))
                   + "\n" for s in range(sections))


GENERATED = {
    "app": "[server]\nhost = example.org\nport: 8080\n\n[client]\nretries=3\ntimeout = 2.5\n",
    "defaults": "[DEFAULT]\nuser = me\nhome = /home/%(user)s\n\n[paths]\ncache = %(home)s/.cache\n"
                "[other]\nuser = you\n",
    "continuations": "[text]\nmotd = first line\n    second line\n\tthird line\nafter = x\n",
    "percent": "[fmt]\nratio = 50%%\nraw = 5%\nstamp = %%Y-%%m-%%d\nref = %(ratio)s done\n",
    "comments": "# leading comment\n; another\n[a]\n# inside\nk = v\n  ; indented comment\n\n[b]\n",
    "non-ascii": "[ünïcode]\nschlüssel = wert ☃\n名前 = 値\n",
    "empty-values": "[e]\nblank =\ncolon:\nspaces   =   padded value   \n",
    "case": "[Section]\nKey = 1\nOTHER = 2\n[section]\nkey = 3\n",
    "tox": "[tox]\nenvlist = py313,\n    lint\n\n[testenv]\ndeps =\n    pytest\n    hypothesis\n"
           "commands = pytest {posargs}\n",
    "inline-comment": "[desktop]\nIconFile = icon.ico ; shown in the folder\nLocalized = %SystemRoot%\\x.dll\n",
    "defaults-only": "[DEFAULT]\nlevel = info\n",
    "large": large(),
    "empty": "",
    "only-comments": "# nothing here\n; at all\n",
    "duplicate-section": "[a]\nk = 1\n[a]\nj = 2\n",
    "duplicate-option": "[a]\nk = 1\nK = 2\n",
    "no-header": "k = v\n[a]\n",
    "no-delimiter": "[a]\njust a line\n",
    "interpolation-loop": "[a]\nx = %(y)s\ny = %(x)s\n",
}
FILES = [pytest.param(f, id=f"stdlib-{f.name}") for f in sorted(STDLIB_DATA.glob("*")) if f.is_file()]
FILES += [pytest.param((name, bom, newline), id=f"{name}-{'bom' if bom else 'plain'}-{newline!r}")
          for name in GENERATED for bom in (False, True) for newline in ("\n", "\r\n")
          if name != "large" or (bom and newline == "\n")]
FILES += [pytest.param(("not-utf8", b"[a]\nk = \xff\n"), id="not-utf8")]


@pytest.fixture(params=FILES)
def ini_file(request, tmp_path):
    path = tmp_path / "settings.ini"
    source = request.param
    if isinstance(source, Path):
        shutil.copyfile(source, path)
    elif isinstance(source[1], bytes):
        path.write_bytes(source[1])
    else:
        name, bom, newline = source
        path.write_bytes((BOM if bom else b"") + GENERATED[name].replace("\n", newline).encode())
    return str(path)


def held(config):
    return (list(config.defaults().items()),
            [(s, list(config.items(s, raw=True))) for s in config.sections()])


def bare(path):
    parser = configparser.ConfigParser()
    parser.read(path, encoding="utf-8-sig")
    return parser


def test_store_reads_like_the_bare_parser_and_saves_stably(ini_file):
    try:
        expected = held(bare(ini_file))
    except Exception as exc:
        with pytest.raises(type(exc)) as info:
            ini_main.TovrelIniMain(ini_file)
        assert type(info.value) is type(exc) and str(info.value) == str(exc)
        return
    store = ini_main.TovrelIniMain(ini_file)
    assert held(store._config) == expected
    store._save()
    store._read()
    first = Path(ini_file).read_bytes()
    assert held(store._config) == expected == held(bare(ini_file))
    assert first.startswith(BOM) or first == b""
    store._save()
    store._read()
    assert Path(ini_file).read_bytes() == first
    assert held(store._config) == expected
