"""Local paths below a download's target, reached without following a link.

A download writes only inside its target. The names come from the server's
listing (checked by _names), but the local tree may hold links already: a
`target/sub -> /elsewhere` that a path string would pass through. So, as
rsync does, the target is opened once and every component below it is
opened relative to its parent's descriptor with O_NOFOLLOW, and everything
done to a file (create, utime, rename, unlink) is done relative to the
descriptor of its directory. The target itself is the user's to name, a
link included.
"""

import contextlib
import errno
import os
import stat

_DIRECTORY = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC


class NotFollowed(OSError):
    """A symbolic link stands where the tree has a directory; `filename` is its path."""

    def __str__(self):
        return f"{self.filename!r} is a symbolic link: not followed"


def _open_child(parent, name, path, make):
    """The descriptor of the directory `name` in the directory `parent`; `path` names it in errors."""
    made = False
    if make:
        try:
            os.mkdir(name, dir_fd=parent)
            made = True
        except FileExistsError:
            pass  # a directory is what we want; anything else fails to open below
    try:
        return os.open(name, _DIRECTORY | os.O_NOFOLLOW, dir_fd=parent), made
    except OSError as exc:
        if exc.errno in (errno.ELOOP, errno.ENOTDIR, errno.EMLINK):
            try:
                is_link = stat.S_ISLNK(os.lstat(name, dir_fd=parent).st_mode)
            except OSError:
                is_link = False
            if is_link:
                raise NotFollowed(errno.ELOOP, os.strerror(errno.ELOOP), path) from None
        raise OSError(exc.errno, exc.strerror, path) from None


@contextlib.contextmanager
def directory(top, parts, make=False):
    """The descriptor of the directory `top`/`parts`... , each part a plain name, none
    of them passed through as a link; with `make`, each missing one is made.
    Yields (descriptor, how many directories were made)."""
    fd = os.open(top, _DIRECTORY)
    made = 0
    try:
        path = top
        for name in parts:
            path = os.path.join(path, name)
            child, new = _open_child(fd, name, path, make)
            os.close(fd)
            fd = child
            made += new
        yield fd, made
    finally:
        os.close(fd)


def make_dirs(top, rel):
    """Makes the directory `rel` ("/"-separated) below `top` and what is missing above it;
    how many were made."""
    with directory(top, rel.split("/"), make=True) as (_, made):
        return made
