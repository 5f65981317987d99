"""The distributions: the sdist carries what a build needs; the publishable
wheel that `./dev wheel` builds from it is tagged manylinux for the oldest C
library it runs on and works in a new environment; a wheel, that one or one the
system's compiler builds, holds the module and its types and nothing else of
the build; the metadata is complete and passes twine's check."""
import email.parser
import os
import pathlib
import re
import subprocess
import sys
import sysconfig
import tarfile
import venv
import zipfile

import pytest

from conftest import LINES

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = "ini_main" + sysconfig.get_config_var("EXT_SUFFIX")
STUB = "ini_main-stubs/__init__.pyi"

pytestmark = pytest.mark.packaging
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("packaging is checked in the plain run; the sanitizer run is for memory", allow_module_level=True)


def run(*args, cwd=ROOT, env=None):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def build_wheel(source, out):
    run(sys.executable, "-m", "pip", "wheel", source, "--no-deps", "--no-build-isolation", "--no-cache-dir", "-w", out)
    (wheel,) = out.glob("*.whl")
    return wheel


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    out = tmp_path_factory.mktemp("dists")
    # The venv that runs this test builds them, as it builds the module.
    run(ROOT / "dev", "wheel", out / "published", env={**os.environ, "VENV": sys.prefix})
    (sdist,) = (out / "published").glob("*.tar.gz")
    (published,) = (out / "published").glob("*.whl")
    return {"sdist": sdist, "published": published, "tree": build_wheel(".", out / "tree")}


def wheel_names(wheel):
    return sorted(name for name in zipfile.ZipFile(wheel).namelist() if not name.endswith("/"))


def wheel_platforms(wheel):
    """The platform tags in the wheel's name, checked against its WHEEL file."""
    info = zipfile.ZipFile(wheel).read("ini_main-0.1.0.dist-info/WHEEL").decode()
    assert "Root-Is-Purelib: false" in info
    platforms = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    assert sorted(re.findall(r"^Tag: cp313-cp313-(.*)$", info, re.M)) == sorted(platforms)
    return platforms


def glibc_of(platform):
    """The C library version a manylinux tag names ("manylinux2014" is 2.17)."""
    match = re.fullmatch(r"manylinux_2_(\d+)_x86_64", platform.replace("manylinux2014", "manylinux_2_17"))
    return (2, int(match[1])) if match else None


def test_sdist_has_what_a_build_needs_and_no_build_output(dists):
    with tarfile.open(dists["sdist"]) as tar:
        names = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "ini_main").rglob("*")
               if p.suffix in (".cpp", ".hpp", ".def")}
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "CHANGELOG.md", "PKG-INFO",
              "stubs/" + STUB, "examples/demo.py"}
    assert sources and needed | sources <= names
    built = re.compile(r"(^|/)(\.venv[^/]*|build[^/]*|dist|__pycache__|\.mypy_cache)/|\.(so|o|whl)$")
    assert [name for name in names if built.search(name)] == []


def test_wheels_hold_the_module_and_the_stubs_only(dists):
    for kind in ("published", "tree"):
        names = wheel_names(dists[kind])
        assert [n for n in names if ".dist-info/" not in n] == sorted([MODULE, STUB]), kind
        info = {n.split("/", 1)[1] for n in names if ".dist-info/" in n}
        assert info <= {"METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}, kind
    assert wheel_names(dists["published"]) == wheel_names(dists["tree"])
    assert wheel_platforms(dists["tree"]) == ["linux_x86_64"]
    # The publishable wheel claims glibc 2.28, the wheel builders' baseline, or older.
    published = wheel_platforms(dists["published"])
    assert "manylinux_2_28_x86_64" in published
    assert all(glibc_of(p) and glibc_of(p) <= (2, 28) for p in published), published


def test_metadata_is_complete(dists):
    metadata = email.parser.HeaderParser().parsestr(
        zipfile.ZipFile(dists["tree"]).read("ini_main-0.1.0.dist-info/METADATA").decode())
    released = re.search(r"^## \[(\d[^\]]*)\]", (ROOT / "CHANGELOG.md").read_text(), re.M).group(1)
    assert (metadata["Name"], metadata["Version"], metadata["License-Expression"]) == ("ini_main", released, "MIT")
    assert metadata["Summary"] and metadata["Requires-Python"] in (">=3.13,<3.14", "<3.14,>=3.13")
    assert metadata["Description-Content-Type"] == "text/markdown"
    classifiers = metadata.get_all("Classifier")
    assert {"Programming Language :: Python :: 3.13", "Programming Language :: C++", "Typing :: Typed"} <= set(classifiers)
    assert metadata.get_all("Project-URL") is None and metadata["Home-page"] is None
    run(sys.executable, "-m", "twine", "check", "--strict", *dists.values())


def test_published_wheel_works_in_a_new_environment(dists, tmp_path):
    env = tmp_path / "env"
    venv.EnvBuilder(with_pip=False).create(env)
    python = env / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index", dists["published"])
    assert run(python, "-c", "import ini_main; print(ini_main.__file__)", cwd=tmp_path).startswith(str(env))
    demo = run(python, ROOT / "examples" / "demo.py", cwd=tmp_path)
    assert "width as stored: '1920'" in demo
    assert (f'  File "ini_main.py", line {LINES["_get"][1]}, in ini_main.TovrelIniMain._get\n'
            "    value = self._config.get(section, option)\n") in demo
    # mypy, run with that interpreter, finds the types the wheel installed there.
    run(sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
        "--cache-dir", tmp_path / "mypy-cache", ROOT / "examples" / "typed_usage.py", cwd=tmp_path)
