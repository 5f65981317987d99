"""The method objects: attributes, writes, descriptor behaviour, identity, pickling."""
import copy
import gc
import pickle
import types
import weakref

import pytest

import ini_main
from ini_main import TovrelIniMain
from test_module import METHODS, SAVE_METHODS, signature_text

pytestmark = pytest.mark.compiled  # the extension's method objects


@pytest.mark.parametrize("name", METHODS)
def test_attributes(name):
    method = vars(TovrelIniMain)[name]
    assert (method.__name__, method.__qualname__) == (name, f"TovrelIniMain.{name}")
    assert method.__doc__ == f"TovrelIniMain.{name}{signature_text(name)}"
    assert method.__module__ == "ini_main"
    assert method.__defaults__ == ((True,) if name in SAVE_METHODS else None)
    assert method.__kwdefaults__ is None and method.__closure__ is None
    assert method.__globals__ is vars(ini_main)
    code = method.__code__  # made once, at import: each look-up gives that one object, not a copy
    assert getattr(method, "__code__") is code and code.co_name == name
    annotations = method.__annotations__
    assert annotations == {} and method.__annotations__ is annotations
    assert method.__dict__ == {}


def test_one_shared_type():
    kinds = {type(vars(TovrelIniMain)[name]) for name in METHODS}
    assert len(kinds) == 1
    assert not kinds & {types.FunctionType, types.BuiltinFunctionType, types.MethodDescriptorType}


@pytest.mark.parametrize("attr, value", [
    ("__name__", 5), ("__qualname__", None), ("__defaults__", [True]), ("__defaults__", 5),
    ("__kwdefaults__", 5), ("__annotations__", 5), ("__dict__", 5),
])
def test_invalid_writes_raise_type_error(attr, value):
    method = TovrelIniMain._set
    before = getattr(method, attr)
    with pytest.raises(TypeError):
        setattr(method, attr, value)
    assert getattr(method, attr) == before


@pytest.mark.parametrize("attr", ["__globals__", "__code__", "__closure__"])
def test_read_only_attributes(attr):
    method = TovrelIniMain._get
    before = getattr(method, attr)
    with pytest.raises((AttributeError, TypeError)):
        setattr(method, attr, {} if attr == "__globals__" else None)
    assert getattr(method, attr) is before


@pytest.mark.parametrize("attr, value", [
    ("__name__", "renamed"), ("__qualname__", "Other.renamed"), ("__defaults__", None),
    ("__kwdefaults__", {"save": False}), ("__annotations__", {"return": bool}), ("__dict__", {"tag": 1}),
])
def test_accepted_writes_are_kept(attr, value):
    method = TovrelIniMain._set_section
    before = getattr(method, attr)
    try:
        setattr(method, attr, value)
        assert getattr(method, attr) == value
    finally:
        setattr(method, attr, before)
    assert getattr(method, attr) is before


@pytest.mark.parametrize("name", METHODS)
def test_other_attributes_go_to_dict_which_the_collector_sees(name):
    method = vars(TovrelIniMain)[name]
    method.tag = "x"
    try:
        assert method.__dict__ == {"tag": "x"} and method.tag == "x"
        # Every field that can hold a reference is visited, the attribute dictionary too.
        fields = {"type": type(method), "__dict__": method.__dict__, "__annotations__": method.__annotations__,
                  **{attr: getattr(method, attr) for attr in (
                      "__name__", "__qualname__", "__doc__", "__module__", "__globals__", "__code__")}}
        if name in SAVE_METHODS:
            fields["__defaults__"] = method.__defaults__
        referents = gc.get_referents(method)
        assert [attr for attr, field in fields.items() if not any(r is field for r in referents)] == []
    finally:
        del method.tag
    assert method.__dict__ == {}


def test_written_defaults_do_not_change_calls(ini_path):
    method = TovrelIniMain._set
    defaults = method.__defaults__
    store = TovrelIniMain(str(ini_path))
    try:
        method.__defaults__, method.__kwdefaults__ = (False,), {"save": False}
        assert method.__defaults__ == (False,) and method.__kwdefaults__ == {"save": False}
        assert store._set("s", "o", 1) is True
        assert "o = 1" in ini_path.read_text(encoding="utf-8-sig")
    finally:
        method.__defaults__, method.__kwdefaults__ = defaults, None
    assert TovrelIniMain._set_section.__defaults__ is defaults


@pytest.mark.parametrize("name", METHODS)
def test_descriptor(name, make_store):
    method, store = vars(TovrelIniMain)[name], make_store()
    assert getattr(TovrelIniMain, name) is method
    assert method.__get__(None, TovrelIniMain) is method
    bound = getattr(store, name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is store and bound.__func__ is method


def test_identity_repr_weakref_pickle_copy():
    method, other = TovrelIniMain._get, TovrelIniMain._set
    assert "TovrelIniMain._get" in repr(method) and f"{id(method):x}" in repr(method).lower()
    # equality is identity: object's own comparison and hash
    assert (method.__eq__(method), method.__eq__(other)) == (True, NotImplemented)
    assert hash(method) == object.__hash__(method)
    assert weakref.ref(method)() is method
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(method, protocol)) is method
    assert copy.copy(method) is method and copy.deepcopy([method])[0] is method
