"""The `corvane-ftp` command line (also `python -m corvane.ftp`).

Exit status: 0 done, 1 an expected failure (told in one line on stderr, no traceback),
2 a usage error, 23 a put or get in which some files failed (rsync's "partial transfer"),
130 interrupted. `check` answers as diff and cmp do: 0 when both sides agree, 1 when they
differ, 2 when it could not compare them.
"""

from __future__ import annotations

import argparse
import ftplib
import os
import signal
import sys
import traceback
import warnings
from collections.abc import Callable, Sequence
from importlib.metadata import version

from corvane.config import ConfigError
from corvane.ftp import _checksums, commands, transfer
from corvane.ftp._filters import Filters
from corvane.ftp.target import SettingsError, Target, target_from
from corvane.ftp.terminal import printable

PROG = "corvane-ftp"
PARTIAL = 23
# What would end an FTP command line early, or start another.
_UNSENDABLE = frozenset("\0\r\n")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    # A warning (such as --no-verify's) reads as one line, not as a line of our source.
    warnings.formatwarning = lambda message, *_: printable(f"{PROG}: warning: {message}") + "\n"
    try:
        return serve(args) if args.command == "serve" else run(args)
    except SettingsError as exc:
        parser.error(printable(in_our_words(str(exc), getattr(args, "host", None) is None)))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def run(args: argparse.Namespace) -> int:
    target = target_from(args)
    # check's 1 means "they differ": a failure to compare is a 2, as with diff and cmp.
    failed = 2 if args.command == "check" else 1
    if args.command == "put":
        args.local = args.sources[0]
    elif args.command == "get":
        args.remote = " ".join(args.sources)  # for the messages; the command takes each source
    try:
        if args.command in ("put", "get"):
            status = args.run(target, args)  # the engine keeps the deadline itself, and cleans up after it
        else:
            with commands.deadline(args.timeout):
                status = args.run(target, args)
    except BrokenPipeError:
        # The reader went away (`cat ... | head`); Python would complain again at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return failed
    except Exception as exc:
        reason = describe(exc)
        if reason is None:
            # Not a failure we expect: the traceback is for a bug report, but the server's
            # words in it are not for the terminal.
            lines = "".join(traceback.format_exception(exc)).splitlines()
            print("\n".join(map(printable, lines)), file=sys.stderr)
            return failed
        # A note says where in a tree the failure struck ("while deleting the remote directory ...").
        notes = getattr(exc, "__notes__", None)
        if notes:
            reason += f" ({'; '.join(map(str, notes))})"
        reason = in_our_words(reason, args.host is None)
        print(printable(f"{PROG}: {args.command} {args.remote} on {target.server}: {reason}"), file=sys.stderr)
        # As rsync's 23: the run went through, and some files (or removals) failed.
        return PARTIAL if isinstance(exc, ExceptionGroup) and args.command != "check" else failed
    return status or 0


# The library's hints name its keywords; here the options that set them: the command line's
# own after --host, a config section's after --section.
_OPTION_WORDS = (("tls='explicit' (tls = explicit in a config section)", "--tls explicit"),
                 ("tls='explicit' or 'implicit'", "--tls explicit or implicit"), ("tls='explicit'", "--tls explicit"),
                 ("tls='implicit'", "--tls implicit"), ("without tls,", "without --tls,"),
                 ("give ca_file,", "give --ca-file FILE,"), ("ca_file and verify", "--ca-file and --no-verify"),
                 ("verify=False", "--no-verify"))
_SECTION_WORDS = (("tls='explicit' (tls = explicit in a config section)", "tls = explicit"),
                  ("tls='explicit' or 'implicit'", "tls = explicit or implicit"), ("tls='explicit'", "tls = explicit"),
                  ("tls='implicit'", "tls = implicit"), ("give ca_file,", "give ca_file = FILE,"),
                  ("verify=False", "verify = no"))


def in_our_words(text: str, from_section: bool) -> str:
    """`text` with the library's keyword spellings (tls='explicit', ca_file, verify=False) in
    the words the user typed them in."""
    for python, ours in _SECTION_WORDS if from_section else _OPTION_WORDS:
        text = text.replace(python, ours)
    return text


def describe(exc: BaseException) -> str | None:
    """The one-line reason for an expected failure; None for anything else."""
    if isinstance(exc, ExceptionGroup):  # put and get: some files failed, the others moved
        first = exc.exceptions[0]
        return f"{exc.message}; the first: {describe(first) or repr(first)}"
    if isinstance(exc, (commands.CommandError, FileNotFoundError, transfer.FileTransferError, ConfigError,
                        _checksums.BadDigest)):
        return str(exc)
    if isinstance(exc, ftplib.error_perm) and str(exc).startswith("530"):
        return f"login refused ({exc}): check --user and the password"
    if isinstance(exc, ConnectionRefusedError):
        return "connection refused: no FTP server listens there (check --host and --port)"
    if isinstance(exc, TimeoutError):
        deadline = getattr(exc, "deadline", None)  # --timeout's, for the whole command
        return f"did not finish within {deadline:g} s" if deadline else "the server did not answer in time"
    if isinstance(exc, ftplib.Error):
        return f"the server answered: {exc}"
    if isinstance(exc, UnicodeDecodeError):  # most often a listed name
        return (f"the server sent text that is not {exc.encoding}: name the encoding it uses "
                f"in a config section (encoding = ...) and use --config")
    if isinstance(exc, EOFError):
        return "the server closed the connection"
    if isinstance(exc, OSError):  # the session's own errors name the server: TLS, unknown host, ...
        return f"{exc.strerror}: '{exc.filename}'" if exc.filename else exc.strerror or str(exc)
    return None


def serve(args: argparse.Namespace) -> int:
    misplaced = [f"--{name.replace('_', '-')}" for name in ("ca_file", "no_verify", "config", "section", "timeout")
                 if getattr(args, name, None) is not None]
    if misplaced:
        raise SettingsError(f"serve takes only --host, --port, --user, --password-env, --tls and --certfile, "
                            f"not {', '.join(misplaced)}")
    # pyftpdlib only for serve: the other commands start sooner without it.
    from corvane.ftp.serve import DEFAULT_USER, HOST, PASSWORD_ENV, EmbeddedServer, TLSUnavailable, usage_text

    password_env = args.password_env or PASSWORD_ENV
    chosen = os.environ.get(args.password_env) if args.password_env else None
    try:
        server = EmbeddedServer(args.root, user=args.user or DEFAULT_USER, password=chosen, port=args.port or 0,
                                host=args.host or HOST, tls=args.tls, certfile=getattr(args, "certfile", None))
    except TLSUnavailable as exc:
        print(f"{PROG}: serve {args.root}: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        print(f"{PROG}: serve {args.root}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    print(usage_text(server.served, password_env, show_password=chosen is None), flush=True)
    # Stopped by a service manager or `kill`, it closes its sessions as on Ctrl-C.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Work with files on an FTP server.",
        epilog="A server is named either by --host and the options that go with it, or by a section "
               "of a config file (--config, --section). Passwords come from the config file, "
               "from the environment variable named by --password-env, or from a prompt; never from "
               "the command line. Start with `corvane-ftp serve DIR`: it prints the options to use.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version('corvane-ftp')}")
    _server_options(parser, None)
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[Target, argparse.Namespace], int | None], text: str,
                remote: str | None = "PATH") -> argparse.ArgumentParser:
        # Server options are taken after the command too, as rsync and lftp users type them;
        # SUPPRESS keeps a subcommand from resetting what came before it.
        cmd = sub.add_parser(name, help=text, description=text)
        _server_options(cmd, argparse.SUPPRESS)
        cmd.set_defaults(run=run)
        if remote:
            cmd.add_argument("remote", type=_remote_path, metavar=remote)
        return cmd

    ls = command("ls", commands.ls, "list a remote directory (or show a file)", remote=None)
    ls.add_argument("remote", nargs="?", default=".", type=_remote_path, metavar="PATH")
    ls.add_argument("-l", dest="long", action="store_true",
                    help="kind (d, -, l), size, time and name, and a link's target where LIST shows it; "
                         "times in UTC, to the second, minute or day as the server gives them")
    ls.add_argument("-a", dest="all", action="store_true", help="show names starting with '.' too")
    ls.add_argument("-R", dest="recursive", action="store_true",
                    help="list each directory under PATH too, its path first; links are not followed")
    command("cat", commands.cat, "write a remote file to standard output")
    command("stat", commands.stat, "show whether a path exists, its kind, size and mtime")
    command("mkdir", commands.mkdir, "make a remote directory and its missing parents")
    rm = command("rm", commands.rm, "remove a remote file, or with -r a whole tree")
    rm.add_argument("-r", dest="recursive", action="store_true", help="remove a directory and everything in it")
    rm.add_argument("--yes", action="store_true", help="do not ask before removing a tree")
    mv = command("mv", commands.mv, "move or rename a remote file or directory (RNFR, RNTO); into a directory "
                                    "that exists, each SRC moves inside it", remote=None)
    mv.add_argument("sources", nargs="+", type=_remote_path, metavar="SRC")
    mv.add_argument("remote", type=_remote_path, metavar="DST")
    for name, run, text, first, second in (
            ("put", commands.put, "copy local files or trees (- for standard input) to the server; with several, "
                                  "each goes into REMOTE under its own name", "local", "remote"),
            ("get", commands.get, "copy remote files or trees here (- for standard output); with several, "
                                  "each goes into LOCAL under its own name", "remote", "local")):
        cmd = command(name, run, text, remote=None)
        cmd.add_argument("sources", nargs="+", type=_remote_path if first == "remote" else str,
                         metavar=first.upper())
        cmd.add_argument(second, type=_remote_path if second == "remote" else str, metavar=second.upper())
        cmd.add_argument("-j", dest="jobs", type=_positive, default=4, metavar="N",
                         help="transfer N files at once, each on its own session (default 4)")
        cmd.add_argument("--update", action="store_true",
                         help="skip files whose copy has the same size and is no older (put) or as old (get); "
                              "times at the precision the server lists them, MDTM where that cannot tell")
        cmd.add_argument("--checksum", action="store_true",
                         help="after each file, compare the server's hash of its copy with the local one "
                              "(where the server offers HASH, XSHA256, XSHA1, XMD5 or XCRC); a file that "
                              "differs fails and is not put in place")
        cmd.add_argument("--delete", action="store_true",
                         help="after a copy in which nothing failed, remove at the target what the source "
                              "does not have (never what --exclude leaves out); each removal is printed")
        cmd.add_argument("-n", "--dry-run", action="store_true",
                         help="print what would be copied and removed, and change nothing on either side")
        cmd.add_argument("--exclude", dest="filters", action="append", type=_rule("-"), metavar="GLOB",
                         help="leave out the paths GLOB matches (repeatable; rsync's rules: the first --exclude "
                              "or --include that matches decides; a GLOB with '/' matches the path below the "
                              "top, one without the last name; a trailing '/' only directories; '**' crosses "
                              "directories; an excluded directory is not entered)")
        cmd.add_argument("--include", dest="filters", action="append", type=_rule("+"), metavar="GLOB",
                         help="take the paths GLOB matches, even when a later --exclude matches them too")
        cmd.add_argument("-v", "--verbose", action="store_true", help="print each file as it moves")
        cmd.add_argument("-c", "--continue", dest="resume", action="store_true",
                         help="continue what an earlier -c run left of each file, where it is shorter than "
                              "the source, and leave what a failed or stopped run moved for the next one")
        if name == "get":
            cmd.add_argument("--segments", type=_positive, default=1, metavar="N",
                             help="fetch each file of 2 MiB or more in N ranges at once, each on a session "
                                  "of its own, for servers that limit each connection's rate")
        if name == "put":
            cmd.add_argument("--inplace", action="store_true",
                             help="write each file straight over its old copy on the server, without a "
                                  "temporary name and a rename: one round trip less per file, but a failed "
                                  "or interrupted upload then loses the old copy")
    check = command("check", commands.check, "compare a local file or tree with a remote one; exit 0 when "
                                             "they agree, 1 when they differ, 2 when they cannot be compared",
                    remote=None)
    check.add_argument("local", metavar="LOCAL")
    check.add_argument("remote", type=_remote_path, metavar="REMOTE")
    check.add_argument("-j", dest="jobs", type=_positive, default=4, metavar="N",
                       help="list and hash over N sessions at once (default 4)")
    check.add_argument("--no-times", dest="times", action="store_false",
                       help="do not compare modification times (a server dates an upload when it arrives)")
    serve_cmd = sub.add_parser("serve", help="serve DIR over FTP on 127.0.0.1, on a free port",
                               description="Serve DIR (default: the current directory) read-write "
                                           "over FTP on 127.0.0.1 (or --host) to one user, and print "
                                           "the options that reach it. Needs no root.")
    # Only what a server of its own can use: no client's TLS checks, no config section.
    group = serve_cmd.add_argument_group("server")
    group.add_argument("--host", default=argparse.SUPPRESS, help="the address to listen on (default 127.0.0.1)")
    group.add_argument("--port", type=_positive, default=argparse.SUPPRESS, help="default: any free port")
    group.add_argument("--user", default=argparse.SUPPRESS, help="the one login name (default: corvane)")
    group.add_argument("--password-env", metavar="NAME", default=argparse.SUPPRESS,
                       help="take the password from the environment variable NAME (default: a new one)")
    group.add_argument("--tls", choices=("explicit", "implicit"), default=argparse.SUPPRESS,
                       help="explicit: AUTH TLS on the plain port; implicit: TLS from the first byte "
                            "(needs pyOpenSSL)")
    group.add_argument("--certfile", metavar="FILE", default=argparse.SUPPRESS,
                       help="key and certificate, one PEM file, for --tls (default: a new self-signed one)")
    serve_cmd.add_argument("root", nargs="?", default=".", metavar="DIR")
    return parser


def _server_options(parser: argparse.ArgumentParser, default: str | None) -> None:
    group = parser.add_argument_group("server")
    group.add_argument("--host", default=default, help="server name or address")
    group.add_argument("--port", type=_positive, default=default, help="default 21, or 990 with --tls implicit")
    group.add_argument("--user", default=default, help="login name (default: anonymous)")
    group.add_argument("--tls", choices=("explicit", "implicit"), default=default,
                       help="explicit: AUTH TLS on the plain port; implicit: TLS from the start (port 990)")
    group.add_argument("--ca-file", metavar="FILE", default=default,
                       help="trust the CAs in this PEM file instead of the system's")
    group.add_argument("--no-verify", action="store_const", const=True, default=default,
                       help="do NOT check the server's certificate: anyone on the way can read the session")
    group.add_argument("--password-env", metavar="NAME", default=default,
                       help="take the password from the environment variable NAME")
    group.add_argument("--config", metavar="FILE", default=default, help="an INI file of server sections")
    group.add_argument("--section", metavar="NAME", default=default, help="the section to use (default: ftp)")
    group.add_argument("--timeout", metavar="S", type=_seconds, default=default,
                       help="give up when the whole command has not finished within S seconds "
                            "(put and get then stop every transfer and leave no temporary file)")


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be above 0 seconds, not {text}")
    return value


def _rule(sign: str) -> Callable[[str], tuple[str, str]]:
    """An --exclude or --include pattern, read at once: a mistake in it is a usage error."""
    def parse(text: str) -> tuple[str, str]:
        try:
            Filters([(sign, text)])
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
        return sign, text
    return parse


def _remote_path(text: str) -> str:
    if not _UNSENDABLE.isdisjoint(text):
        raise argparse.ArgumentTypeError(f"{text!r} holds NUL, CR or LF, which no FTP command can carry")
    return text


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value
