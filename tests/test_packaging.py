"""The distributions: the sdist carries what a build needs and builds a working
wheel; a wheel holds the module and its types and nothing else of the build;
the metadata is complete and passes twine's check."""
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = "ini_main" + sysconfig.get_config_var("EXT_SUFFIX")
STUB = "ini_main-stubs/__init__.pyi"

pytestmark = pytest.mark.packaging
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("packaging is checked in the plain run; the sanitizer run is for memory", allow_module_level=True)


def run(*args, cwd=ROOT):
    result = subprocess.run([str(a) for a in args], cwd=cwd, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"{args}\n{result.stdout}\n{result.stderr}"
    return result.stdout


def build_wheel(source, out):
    run(sys.executable, "-m", "pip", "wheel", source, "--no-deps", "--no-build-isolation", "--no-cache-dir", "-w", out)
    (wheel,) = out.glob("*.whl")
    return wheel


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    out = tmp_path_factory.mktemp("dists")
    run(sys.executable, "-c", "import sys; from scikit_build_core.build import build_sdist; build_sdist(sys.argv[1])",
        out)
    (sdist,) = out.glob("*.tar.gz")
    with tarfile.open(sdist) as tar:
        tar.extractall(out / "unpacked", filter="data")
    (unpacked,) = (out / "unpacked").iterdir()
    return {"sdist": sdist, "tree": build_wheel(".", out / "tree"), "from sdist": build_wheel(unpacked, out / "sdist")}


def wheel_names(wheel):
    return sorted(zipfile.ZipFile(wheel).namelist())


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
    for kind in ("tree", "from sdist"):
        names = wheel_names(dists[kind])
        assert [n for n in names if ".dist-info/" not in n] == sorted([MODULE, STUB]), kind
        info = {n.split("/", 1)[1] for n in names if ".dist-info/" in n}
        assert info <= {"METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}, kind
    assert wheel_names(dists["tree"]) == wheel_names(dists["from sdist"])
    wheel_info = zipfile.ZipFile(dists["tree"]).read("ini_main-0.1.0.dist-info/WHEEL").decode()
    assert "Root-Is-Purelib: false" in wheel_info and re.search(r"^Tag: cp313-cp313-", wheel_info, re.M)


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


def test_wheel_from_sdist_works_in_a_new_environment(dists, tmp_path):
    env = tmp_path / "env"
    venv.EnvBuilder(with_pip=False).create(env)
    python = env / "bin" / "python"
    run(sys.executable, "-m", "pip", "--python", python, "install", "--no-deps", "--no-index", dists["from sdist"])
    assert run(python, "-c", "import ini_main; print(ini_main.__file__)", cwd=tmp_path).startswith(str(env))
    assert "width as stored: '1920'" in run(python, ROOT / "examples" / "demo.py", cwd=tmp_path)
    # mypy, run with that interpreter, finds the types the wheel installed there.
    run(sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
        "--cache-dir", tmp_path / "mypy-cache", ROOT / "examples" / "typed_usage.py", cwd=tmp_path)
