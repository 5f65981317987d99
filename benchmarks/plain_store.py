"""The store as a user would write it in plain Python: the peer that the
extension is measured against.  Same methods, same calls on the parser, same
save-and-reload step, same one save per bulk call."""

import configparser


class PlainStore:
    def __init__(self, path):
        self._path = path
        self._set_path()

    def _set_path(self):
        self._config = configparser.ConfigParser()
        self._read()

    def _get(self, section, option):
        value = self._config.get(section, option)
        return value

    def _get_option(self, section):
        result = {}
        for option, value in self._config.items(section):
            result.setdefault(option, value)
        return result

    def _get_all(self):
        result = {}
        for section in self._sections():
            result.setdefault(section, self._get_option(section))
        return result

    def _set(self, section, option, value, save=True):
        self._set_section(section, save)
        self._config.set(section, option, str(value))
        if save:
            self._save()
            self._read()
        return True

    def _set_section(self, section, save=True):
        if self._has_section(section):
            return True
        self._config.add_section(section)
        if save:
            self._save()
            self._read()
        return True

    def _set_option(self, section, option_dict, save=True):
        self._set_section(section, save)
        for option, value in option_dict.items():
            self._set(section, option, value, save=False)
        if save:
            self._save()
            self._read()
        return True

    def _set_all(self, section_dict, save=True):
        for section, option_dict in section_dict.items():
            self._set_option(section, option_dict, save=False)
        if save:
            self._save()
            self._read()
        return True

    def _sections(self):
        value = self._config.sections()
        return value

    def _options(self, section):
        value = self._config.options(section)
        return value

    def _remove_section(self, section, save=True):
        value = self._config.remove_section(section)
        if save:
            self._save()
            self._read()
        return value

    def _remove_option(self, section, options, save=True):
        value = self._config.remove_option(section, options)
        if save:
            self._save()
            self._read()
        return value

    def _has_section(self, section):
        value = self._config.has_section(section)
        return value

    def _has_option(self, section, option):
        value = self._config.has_option(section, option)
        return value

    def _read(self):
        self._config.read(self._path, encoding="utf-8-sig")

    def _save(self):
        # Closed at once, as the extension does, so that _read finds the whole file.
        with open(self._path, "w+", encoding="utf-8-sig") as file:
            self._config.write(file)
        self._config.clear()
