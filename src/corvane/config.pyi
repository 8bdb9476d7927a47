# Types of corvane.config for type checkers; tests/test_stubs.py checks it against the module.
import configparser
from typing import Mapping

ENV_VAR: str

class ConfigError(ValueError): ...

class Section(dict[str, str]):
    path: str
    name: str
    def __init__(self, path: str, name: str, options: Mapping[str, str]) -> None: ...
    def wanted(self, option: str, what: str) -> ConfigError: ...

class EnvConfig:
    @staticmethod
    def init_configer() -> configparser.ConfigParser: ...
    @staticmethod
    def section(name: str, inline_comments: bool = False) -> Section: ...
