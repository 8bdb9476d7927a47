"""Configuration access: one INI file named by the environment."""

import configparser
import os

ENV_VAR = "CORVANE_CONFIG"


def _load(**options):
    parser = configparser.ConfigParser(interpolation=None, **options)
    path = os.environ.get(ENV_VAR)
    problem = None
    if path:
        try:
            with open(path, encoding="utf-8") as f:
                parser.read_file(f, source=path)
        except FileNotFoundError:
            pass
        except (configparser.Error, UnicodeDecodeError) as exc:
            problem = _unparsable(exc)
    if problem:
        # Raised out here, so that configparser's error, which quotes the line and so perhaps a
        # password, is not even the context of ours.
        raise ConfigError(f"config file {path!r}, {problem}")
    return parser


def _unparsable(exc):
    if isinstance(exc, configparser.MissingSectionHeaderError):
        return f"line {exc.lineno}: an option before the first [section] header"
    if isinstance(exc, configparser.ParsingError):
        numbers = [str(lineno) for lineno, _ in exc.errors]
        where = f"line{'s' * (len(numbers) > 1)} {', '.join(numbers)}"
        return f"{where}: neither a [section] header nor a name = value option"
    if isinstance(exc, configparser.DuplicateOptionError):
        return f"line {exc.lineno}: option {exc.option!r} written twice in section [{exc.section}]"
    if isinstance(exc, configparser.DuplicateSectionError):
        return f"line {exc.lineno}: section [{exc.section}] written twice"
    if isinstance(exc, UnicodeDecodeError):
        return "not UTF-8 text: save it as UTF-8"
    return f"cannot be read ({type(exc).__name__})"


class ConfigError(ValueError):
    """A configuration value that cannot work, named with the file, section and option."""


class Section(dict):
    """The options of one section, remembering where they were written."""

    def __init__(self, path, name, options):
        super().__init__(options)
        self.path, self.name = path, name

    def wanted(self, option, what):
        """The error for `option`, missing or holding something other than `what`."""
        got = f"got {self[option]!r}" if option in self else "it is missing"
        return ConfigError(f"config file {self.path!r}, section [{self.name}], option {option!r}: "
                           f"wanted {what}; {got}")


class EnvConfig:
    @staticmethod
    def init_configer():
        """A parser read afresh from the file named by CORVANE_CONFIG.

        Interpolation is off because a password may hold "%". An unset
        variable or a missing file gives an empty parser; a file that exists
        but cannot be read raises its OSError, one that cannot be parsed a
        ConfigError naming the line by its number alone.
        """
        return _load()

    @staticmethod
    def section(name, inline_comments=False):
        """The options written in section `name` itself, not those of [DEFAULT], as a Section.

        With `inline_comments`, "; ..." and "# ..." after white space end a value, as
        configparser's inline_comment_prefixes do (from_config's sections). Without,
        the value is the whole rest of the line: FTPPath hands its [ftp] options to
        ftplib.FTP as written, and a password may hold " ;".
        """
        path = os.environ.get(ENV_VAR)
        where = f"config file {path!r}" if path else f"{ENV_VAR} is not set"
        if not path or not os.path.exists(path):
            if path:
                where = f"config file {path!r} does not exist"
            raise LookupError(f"no [{name}] section: {where}")
        # A default section no INI header can name keeps [DEFAULT] out of the result.
        comments = {"inline_comment_prefixes": (";", "#")} if inline_comments else {}
        parser = _load(default_section="\0", **comments)
        if not parser.has_section(name):
            raise LookupError(f"no [{name}] section in config file {path!r}")
        return Section(path, name, parser[name])
