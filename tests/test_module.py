"""The module's surface: its names, the class, and members that behave like Python functions."""

import contextlib
import functools
import inspect
import sys

import pytest

import corvane.ftp
import corvane.ftp.path as module
import corvane.ftp.transfer as transfer
from corvane.base import BasePath
from corvane.ftp.path import FTPPath, interrupt

MEMBERS = ["_reset", "exists", "is_dir", "read", "write", "upload", "delete", "mkdir", "glob", "mtime"]

SIGNATURES = {
    "_reset": "(self, section: 'str') -> 'Optional[Exception]'",
    "is_dir": "(self) -> 'bool'",
    "read": "(self) -> 'bytes'",
    "write": "(self, data: 'bytes') -> 'None'",
    "upload": "(self, local_path: 'str') -> 'None'",
    "delete": "(self) -> 'None'",
    "mkdir": "(self) -> 'None'",
    "glob": "(self, pattern: 'str' = '*') -> \"Generator['FTPPath', Any, Any]\"",
}


def test_names_in_load_order():
    names = [n for n in vars(module) if not n.startswith("__")]
    assert names == ["datetime", "fnmatch", "ftplib", "io", "pathlib", "Generator", "Any", "Optional",
                     "retry", "BasePath", "Local", "EnvConfig", "interrupt", "FTPPath"]
    assert corvane.ftp.FTPPath is FTPPath and corvane.ftp.interrupt is interrupt
    assert [getattr(corvane.ftp, n) for n in ("put", "get", "Report")] == [transfer.put, transfer.get, transfer.Report]


def test_class_settings():
    import ftplib
    assert type(FTPPath) is type(BasePath) and FTPPath.__bases__ == (BasePath,)
    assert FTPPath.__module__ == "corvane.ftp.path" and FTPPath.__qualname__ == "FTPPath"
    assert FTPPath.__annotations__ == {"client": "ftplib.FTP"}
    assert FTPPath._section == ("ftp",) and FTPPath._creator is ftplib.FTP
    own = [n for n in vars(FTPPath) if not n.startswith("__")]
    assert own == ["_section", "_creator"] + MEMBERS


@pytest.mark.parametrize("name", ["exists", "mtime"])
def test_properties_are_read_only_and_wrapped(name):
    prop = vars(FTPPath)[name]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    assert prop.fget.__wrapped__.__qualname__ == f"FTPPath.{name}"
    with pytest.raises(AttributeError):
        setattr(FTPPath("/x"), name, True)


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_members_look_like_python_functions(name):
    member = vars(FTPPath)[name]
    assert member.__name__ == name and member.__qualname__ == f"FTPPath.{name}"
    assert member.__module__ == "corvane.ftp.path" and member.__doc__
    assert str(inspect.signature(member)) == SIGNATURES[name]
    # retry wraps every member but _reset, with functools.wraps copying the details
    assert hasattr(member, "__wrapped__") == (name != "_reset")
    bound = getattr(FTPPath("/x"), name)
    assert bound.__self__ == FTPPath("/x")
    assert str(inspect.signature(bound)) == SIGNATURES[name].replace("self, ", "").replace("(self)", "()")


def test_native_function_type_binds_and_copies_like_a_def():
    native = vars(FTPPath)["glob"].__wrapped__
    assert native.__get__(None, FTPPath) is native
    method = native.__get__(FTPPath("/d"), FTPPath)
    assert method.__func__ is native
    copy = functools.wraps(native)(lambda *a: None)
    assert copy.__annotations__ == {"pattern": "str", "return": "Generator['FTPPath', Any, Any]"}
    assert copy.__qualname__ == "FTPPath.glob"
    native.__dict__["marker"] = 1
    assert native.marker == 1
    del native.__dict__["marker"]
    with pytest.raises(TypeError):
        native.__name__ = 3
    with pytest.raises(TypeError, match="immutable type"):
        type(native).marker = 1
    assert repr(native).startswith("<function FTPPath.glob at 0x")


@pytest.mark.parametrize("call, message", [
    (lambda f: f(FTPPath("/"), "a", "b"), "FTPPath.glob() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda f: f(FTPPath("/"), colour=1), "FTPPath.glob() got an unexpected keyword argument 'colour'"),
    (lambda f: f(FTPPath("/"), "a", pattern="b"), "FTPPath.glob() got multiple values for argument 'pattern'"),
    (lambda f: f(), "FTPPath.glob() missing 1 required positional argument: 'self'"),
])
def test_argument_errors_use_cpython_words(call, message):
    native = vars(FTPPath)["glob"].__wrapped__
    with pytest.raises(TypeError) as info:
        call(native)
    assert str(info.value) == message


def test_missing_arguments_are_named():
    native = vars(FTPPath)["write"].__wrapped__
    with pytest.raises(TypeError, match=r"^FTPPath\.write\(\) missing 2 required positional arguments: "
                                        r"'self' and 'data'$"):
        native()
    with pytest.raises(TypeError, match=r"^FTPPath\.read\(\) takes 1 positional argument but 2 were given$"):
        vars(FTPPath)["read"].__wrapped__(FTPPath("/"), 1)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "x"), {}), ((), {"a": 1}), ((None,), {"_": 2})])
def test_interrupt_always_raises(args, kwargs):
    with pytest.raises(InterruptedError) as info:
        interrupt(*args, **kwargs)
    assert info.value.args == ("Finish!",)


def test_interrupt_describes_itself():
    assert interrupt.__annotations__ == {"return": "None"}
    assert str(inspect.signature(interrupt)) == "(*_, **__) -> 'None'"
    assert interrupt.__name__ == "interrupt" and interrupt.__module__ == "corvane.ftp.path"


@pytest.mark.parametrize("operation", [
    lambda d: d.join("f").is_dir(), lambda d: d.read(), lambda d: d.mtime, lambda d: d.join("f").mkdir(),
    lambda d: next(d.join("f").glob()), lambda d: d.upload(__file__),
], ids=["is_dir", "read", "mtime", "mkdir", "glob", "upload"])
def test_operations_leave_the_handled_exception_of_a_generator_alone(fake, fake_path, operation):
    fake.add_file("/d/f", b"1")  # each operation catches an error inside (upload: a refused store)

    def generator():
        with contextlib.suppress(Exception):
            operation(fake_path("/d"))
        yield
        yield sys.exc_info()[1]  # nothing is handled here now: the caller has left its except block

    steps = generator()
    try:
        raise KeyError("the caller's")
    except KeyError:
        next(steps)
    assert next(steps) is None


def test_a_failed_import_binds_nothing_after_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "corvane.config", None)
    monkeypatch.delitem(sys.modules, "corvane.ftp.path")
    import importlib.util
    spec = importlib.util.find_spec("corvane.ftp.path")
    fresh = importlib.util.module_from_spec(spec)
    with pytest.raises(ImportError):
        spec.loader.exec_module(fresh)
    assert "EnvConfig" not in vars(fresh) and "FTPPath" not in vars(fresh)
    assert "Local" in vars(fresh)
