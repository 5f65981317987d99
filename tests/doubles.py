"""Test doubles shared by the test files: arguments and parsers that fail on purpose,
and the source of a finder that child processes use to refuse configparser."""
import configparser


class Broken(Exception):
    """What the doubles raise: a type that nothing but a double raises."""


class BadFlag:
    """A `save` flag whose truth test raises `error` (Broken unless given)."""

    def __init__(self, error=Broken):
        self.error = error

    def __bool__(self):
        raise self.error("no truth")


class Unprintable:
    """A value whose str() raises Broken."""

    def __str__(self):
        raise Broken("no text")

    __repr__ = object.__repr__


class Items:
    """Not a dict: offers only `items`, which returns `result`, called first when callable
    (so that a generator or a new list is made at each call)."""

    def __init__(self, result, label=None):
        self.result, self.label = result, label

    def items(self):
        return self.result() if callable(self.result) else self.result

    def __repr__(self):
        return f"Items({self.label or self.result!r})"


class Failing(str):
    """A keyword name whose comparison raises a new `error` ("compare"), Broken unless given.

    With `against`, only a comparison with one of those names raises; any other compares
    as the plain text does, so the name can pass unbound parameters and fail at a bound one.
    """
    __hash__ = str.__hash__

    def __new__(cls, text, error=Broken, against=None):
        name = super().__new__(cls, text)
        name.error, name.against = error, None if against is None else frozenset(against)
        return name

    def __eq__(self, other):
        if self.against is None or other in self.against:
            raise self.error("compare")
        return str.__eq__(self, other)


class BrokenParser:
    """A parser every method of which raises Broken, after its arguments were built."""

    def __getattr__(self, name):
        def fail(*args, **kwargs):
            raise Broken(name)
        return fail


class HalfWriter(configparser.ConfigParser):
    """A real parser that, while `failing` is set, writes the start of a section header,
    calls `meanwhile` when it is set, and then raises Broken."""
    failing = False
    meanwhile = None

    def write(self, fp, space_around_delimiters=True):
        if self.failing:
            fp.write("[a")
            if self.meanwhile:
                self.meanwhile()
            raise Broken("disk went away mid-write")
        super().write(fp, space_around_delimiters)


class PassesOver(configparser.ConfigParser):
    """Reads nothing and says so, as the parser does with a file it cannot open (no
    descriptor left, no permission)."""

    def read(self, filenames, encoding=None):
        return []


class Unreferenceable:
    """A real parser behind a class that cannot be weakly referenced (no `__weakref__`)."""
    __slots__ = ("inner",)

    def __init__(self, sections=None):
        self.inner = configparser.ConfigParser()
        self.inner.read_dict(sections or {})

    def __getattr__(self, name):
        return getattr(self.inner, name)


# Source for a child process (which has imported sys): a finder that refuses to import
# configparser, and `refuse_configparser()`, which drops the module and installs the finder.
REFUSE_CONFIGPARSER = '''
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "configparser":
            raise ModuleNotFoundError("configparser refused", name=name)


def refuse_configparser():
    sys.modules.pop("configparser", None)
    sys.meta_path.insert(0, Refuse())
'''


class Inside(configparser.ConfigParser):
    """A real parser whose `write` or `read` first calls `then` when it is set (a save or
    read of its own file)."""
    then = None

    def write(self, fp, space_around_delimiters=True):
        self.then()
        super().write(fp, space_around_delimiters)

    def read(self, filenames, encoding=None):
        if self.then:
            self.then()
        return super().read(filenames, encoding)
