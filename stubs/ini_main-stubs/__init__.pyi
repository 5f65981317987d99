"""Types of the ini_main extension module.

The store hands values to the standard parser unchanged and returns what the
parser gives back; the types below are those of the standard
configparser.ConfigParser that every store makes for itself.
"""

import configparser
import os
from collections.abc import Iterable
from typing import Literal, Protocol, TypeVar, type_check_only

_K_co = TypeVar("_K_co", covariant=True)
_V_co = TypeVar("_V_co", covariant=True)

@type_check_only
class _SupportsItems(Protocol[_K_co, _V_co]):
    """What the bulk writes walk: a dict, or any object whose items() gives pairs."""

    def items(self) -> Iterable[tuple[_K_co, _V_co]]: ...

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# doctest's table of extra tests; the module sets it to an empty dict.
__test__: dict[str, object]

class TovrelIniMain:
    """A settings store bound to one INI file, kept in a configparser.ConfigParser.

    Every changing method takes save=True by default and then ends with the
    save-and-reload step: the whole store is written to the file at _path
    (UTF-8 with a byte-order mark), emptied, and read back. With save=False the
    change stays in memory until the next saving change. Lookups never touch
    the file. Errors are the parser's and the file system's, passed through.
    """

    _path: _Path
    """The path as given to the constructor, unchanged."""
    _config: configparser.ConfigParser
    """The parser that holds the store's content; replaced by _set_path()."""

    def __init__(self, path: _Path) -> None:
        """Bind the store to the INI file at path and load it.

        A missing file is no error: the store starts empty and the first saving
        change creates the file. Raises a configparser.Error subclass
        (MissingSectionHeaderError, ParsingError, DuplicateSectionError,
        DuplicateOptionError) for a file the parser rejects, UnicodeDecodeError
        for one that is not UTF-8. Writes nothing.
        """

    def _set_path(self) -> None:
        """Start afresh: a new empty parser in _config, then load the file at _path.

        Takes no argument (assign _path first to switch files). Unsaved changes
        are lost. Raises what the constructor raises for a bad file. Writes
        nothing.
        """

    def _get(self, section: str, option: str) -> str:
        """Return the value of option in section, as text.

        Option names ignore case; [DEFAULT] values show in every section. The
        value is interpolated: %% reads as %, %(name)s is replaced. Raises
        configparser.NoSectionError, NoOptionError, and an InterpolationError
        subclass for a value with a stray % (typed by hand into the file).
        """

    def _get_option(self, section: str) -> dict[str, str]:
        """Return all options of one section as a new {option: value} dict.

        Takes a section name, not an option. [DEFAULT] options are included.
        Raises configparser.NoSectionError, or an InterpolationError subclass
        when a value holds a stray %.
        """

    def _get_all(self) -> dict[str, dict[str, str]]:
        """Return the whole store as a new {section: {option: value}} dict.

        [DEFAULT] is not a key, but its options appear in every section.
        Raises an InterpolationError subclass when a value holds a stray %.
        """

    def _set(self, section: str, option: str, value: object, save: object = True) -> Literal[True]:
        """Set option in section to str(value), creating the section if missing.

        Returns True. Saves (twice for a new section: the section, then the
        value) unless save is false. Raises ValueError for section "DEFAULT",
        for a lone % in the value, and for a name or value the file cannot
        carry (a line break in a name, a carriage return in a value); TypeError
        for a name that is not a str; OSError when the save fails.
        """

    def _set_section(self, section: str, save: object = True) -> Literal[True]:
        """Add an empty section; do nothing (and save nothing) if it exists.

        Returns True. Saves a new section unless save is false. Raises
        ValueError for "DEFAULT" and for a name the file cannot carry (a line
        break, an empty name), TypeError for a name that is not a str, OSError
        when the save fails.
        """

    def _set_option(
        self, section: str, option_dict: _SupportsItems[str, object], save: object = True
    ) -> Literal[True]:
        """Set every {option: value} pair of option_dict in section.

        Returns True. Creates the section if missing (saved at once unless save
        is false), sets the pairs in memory, then saves once. Raises as _set;
        pairs set before a failing one stay in memory, unsaved.
        """

    def _set_all(
        self, section_dict: _SupportsItems[str, _SupportsItems[str, object]], save: object = True
    ) -> Literal[True]:
        """Set every section of a {section: {option: value}} dict, as _get_all() returns.

        Returns True. One save at the end unless save is false. Raises as _set;
        what was set before a failure stays in memory, unsaved. Handing back
        _get_all() copies [DEFAULT] options into every section.
        """

    def _sections(self) -> list[str]:
        """Return the section names in file order, without [DEFAULT]."""

    def _options(self, section: str) -> list[str]:
        """Return the option names of section, [DEFAULT]'s included.

        Raises configparser.NoSectionError for a missing section.
        """

    def _remove_section(self, section: str, save: object = True) -> bool:
        """Remove a whole section.

        Returns True if it existed, else False (always False for "DEFAULT").
        Saves unless save is false, even when nothing was removed. Raises
        OSError when the save fails.
        """

    def _remove_option(self, section: str, options: str, save: object = True) -> bool:
        """Remove one option (options is a single name, despite the plural).

        Returns True if it existed, else False. Saves unless save is false, even
        when nothing was removed. Raises configparser.NoSectionError for a
        missing section, OSError when the save fails.
        """

    def _has_section(self, section: str) -> bool:
        """Return whether section exists; False for "DEFAULT"."""

    def _has_option(self, section: str, option: str) -> bool:
        """Return whether option exists in section ([DEFAULT]'s count too).

        A missing section gives False, not an error.
        """

    def _read(self) -> None:
        """Load the file at _path over what the store holds.

        The store is not emptied first: sections and values the file holds come
        back with the file's values, the rest stays. A missing file is no error.
        A read that completes lets a store emptied by _save() save again.
        Raises a configparser.Error subclass or UnicodeDecodeError for a bad
        file. Writes nothing.
        """

    def _save(self) -> None:
        """Write the whole store to the file, then empty the store.

        Call _read() next: until then lookups find no section, and every save
        (this one again, or a saving change) raises RuntimeError before it
        opens the file. Raises OSError when the file cannot be written; on that
        or any other failure or interrupt (KeyboardInterrupt) the store is not
        emptied and the file gets its former bytes back.
        """
