"""Which server the command line talks to: a path class from --host options or from a config section.

The two ways do not mix: a config section names its own port, login and TLS mode. The password
comes from the file, from an environment variable named by --password-env, or from a prompt on
the terminal; never from the command line, where other users of the machine could read it.
"""

from __future__ import annotations

import argparse
import getpass
import os
import sys
from dataclasses import dataclass

from corvane.config import ENV_VAR, EnvConfig
from corvane.ftp import connect, from_config
from corvane.ftp.path import FTPPath

CODE_OPTIONS = ("host", "port", "user", "tls", "ca_file", "no_verify", "password_env")
IMPLICIT_TLS_PORT = 990
FTP_PORT = 21


class SettingsError(Exception):
    """The options do not name a server that can be reached; a usage error."""


@dataclass(frozen=True)
class Target:
    path_class: type[FTPPath]
    server: str  # how messages name the server: user@host:port


def target_from(args: argparse.Namespace) -> Target:
    if args.host is not None:
        if args.config is not None or args.section is not None:
            raise SettingsError("--host and --config/--section are two ways to name a server: use one")
        return _from_options(args)
    given = [f"--{name.replace('_', '-')}" for name in CODE_OPTIONS if getattr(args, name) is not None]
    if given:
        raise SettingsError(f"{', '.join(given)}: only with --host (a config section names its own settings)")
    return _from_section(args)


def _from_options(args: argparse.Namespace) -> Target:
    tls = args.tls or False
    port = args.port if args.port is not None else IMPLICIT_TLS_PORT if tls == "implicit" else FTP_PORT
    try:
        cls = connect(args.host, port=port, user=args.user or "anonymous", password=_password(args),
                      tls=tls, ca_file=args.ca_file, verify=not args.no_verify)
    except (LookupError, ValueError) as exc:
        raise SettingsError(str(exc)) from exc
    return Target(cls, f"{args.user + '@' if args.user else ''}{args.host}:{port}")


def _password(args: argparse.Namespace) -> str:
    if args.password_env is not None:
        value = os.environ.get(args.password_env)
        if value is None:
            raise SettingsError(f"--password-env {args.password_env}: that environment variable is not set")
        return value
    if args.user is None or args.user == "anonymous":
        return ""
    if not sys.stdin.isatty():
        raise SettingsError(f"no password for {args.user}@{args.host} and no terminal to ask on: name an "
                            "environment variable that holds it with --password-env NAME, or use --config")
    return getpass.getpass(f"Password for {args.user}@{args.host}: ")


def _from_section(args: argparse.Namespace) -> Target:
    if args.config is not None:
        if not os.path.isfile(args.config):
            raise SettingsError(f"--config {args.config}: no such file")
        # The path classes read their settings from the file this variable names, at each login.
        os.environ[ENV_VAR] = os.path.abspath(args.config)
    elif not os.environ.get(ENV_VAR):
        raise SettingsError(f"no server given: use --host HOST, or --config FILE (or {ENV_VAR}) "
                            "with --section NAME")
    section = args.section or FTPPath._section[0]
    try:
        settings = EnvConfig.section(section, inline_comments=True)
        cls = from_config(section)
    except (LookupError, ValueError) as exc:
        raise SettingsError(str(exc)) from exc
    login = f"{settings['user']}@" if settings.get("user") else ""
    return Target(cls, f"{login}{settings.get('host', '?')}:{settings.get('port', FTP_PORT)}")
