# Types of corvane.config for type checkers; tests/test_stubs.py checks it against the module.
import configparser

ENV_VAR: str

class EnvConfig:
    @staticmethod
    def init_configer() -> configparser.ConfigParser: ...
    @staticmethod
    def section(name: str) -> dict[str, str]: ...
