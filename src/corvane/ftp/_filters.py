"""Which paths of a tree a transfer takes, by rsync's include and exclude rules.

    filters = [("+", "*.csv"), ("+", "*/"), ("-", "*")]    # the CSV files, in every directory

A rule is ("+", pattern) to include or ("-", pattern) to exclude. Each path of
the tree, relative to its top, is held against the rules in their order and
the first rule that matches decides; a path that no rule matches is taken. A
directory that a rule excludes is not descended into, so nothing below it is
taken whatever later rules say: `--include '*/'` before a final
`--exclude '*'` keeps the directories open, as with rsync.

Patterns, as rsync's:
- without a "/", a pattern matches the last component of the path (`*.tmp`
  matches `a/b/x.tmp`); with one, it matches the whole path below the top,
  a leading "/" being the top itself (`logs/*.gz` or `/logs/*.gz`, but not
  `old/logs/x.gz`);
- a trailing "/" matches directories only (`cache/`);
- `*` matches anything but "/", `**` anything at all ("/" included, so that
  `**/x` also matches `x` at the top), `?` one character but "/",
  `[...]` one character of a set (`[!...]` or `[^...]`: one not in it), and a
  backslash takes the next character as it is.

Patterns are compiled to regular expressions once; a path is matched in
about a microsecond each, far below the cost of listing it.
"""

from __future__ import annotations

import re
from collections.abc import Iterable

RULE_SIGNS = {"+": "include", "-": "exclude"}


class _Rule:
    __slots__ = ("include", "dirs_only", "whole_path", "regex")

    def __init__(self, sign: str, pattern: str) -> None:
        if sign not in RULE_SIGNS:
            raise ValueError(f"a filter rule starts with '+' (include) or '-' (exclude), not {sign!r}")
        if not isinstance(pattern, str) or not pattern.strip("/"):
            raise ValueError(f"a filter rule needs a pattern that names something, not {pattern!r}")
        self.include = sign == "+"
        self.dirs_only = pattern.endswith("/")
        body = pattern.rstrip("/")
        self.whole_path = "/" in body or "**" in body
        try:
            self.regex = re.compile(_translate(body.lstrip("/")), re.DOTALL)
        except re.error as exc:  # a set such as [z-a]
            raise ValueError(f"the filter pattern {pattern!r} cannot be read: {exc}") from None

    def matches(self, rel: str, is_dir: bool) -> bool:
        if self.dirs_only and not is_dir:
            return False
        return self.regex.fullmatch(rel if self.whole_path else rel.rpartition("/")[2]) is not None


def _translate(pattern: str) -> str:
    out = []
    i, n = 0, len(pattern)
    while i < n:
        c = pattern[i]
        if c == "*":
            stars = len(pattern[i:]) - len(pattern[i:].lstrip("*"))
            if stars > 1 and pattern[i + stars:i + stars + 1] == "/" and (i == 0 or pattern[i - 1] == "/"):
                out.append("(?:.*/)?")  # "**/" matches no directory at all, too
                stars += 1
            else:
                out.append(".*" if stars > 1 else "[^/]*")
            i += stars
        elif c == "?":
            out.append("[^/]")
            i += 1
        elif c == "[":
            end = _set_end(pattern, i)
            if end < 0:
                out.append(re.escape(c))
                i += 1
                continue
            body = pattern[i + 1:end]
            negated = body[:1] in ("!", "^")
            members = body[1:] if negated else body
            escaped = "".join("\\" + m if m in "\\^[]" else m for m in members)
            out.append(f"(?!/)[{'^' if negated else ''}{escaped}]")
            i = end + 1
        elif c == "\\" and i + 1 < n:
            out.append(re.escape(pattern[i + 1]))
            i += 2
        else:
            out.append(re.escape(c))
            i += 1
    return "".join(out)


def _set_end(pattern: str, start: int) -> int:
    """Where the set opened at `start` closes; -1 when it does not (the "[" is then a plain one).
    A "]" first in the set (after any "!" or "^") is a member."""
    i = start + 1
    if pattern[i:i + 1] in ("!", "^"):
        i += 1
    if pattern[i:i + 1] == "]":
        i += 1
    return pattern.find("]", i)


class Filters:
    """Rules in their order; the first that matches a path decides (see the module's text)."""

    def __init__(self, rules: Iterable[tuple[str, str]] = ()) -> None:
        if isinstance(rules, (str, bytes)):
            raise TypeError("filters is a list of (sign, pattern) pairs, such as [('-', '*.tmp')], not a string")
        self.rules = [_Rule(*rule) for rule in rules]

    def __bool__(self) -> bool:
        return bool(self.rules)

    def takes(self, rel: str, is_dir: bool) -> bool:
        """Whether the path `rel` ("/"-separated, below the top) is taken."""
        for rule in self.rules:
            if rule.matches(rel, is_dir):
                return rule.include
        return True
