"""The type stubs that ship with the package say what the runtime does, signature by signature."""

import ast
import importlib
import inspect
import os
import textwrap
import types

import pytest

DESCRIPTORS = {"property": property, "staticmethod": staticmethod, "classmethod": classmethod}


def stub_signature(fn, annotated):
    a = fn.args
    kind = inspect.Parameter
    positional = [(arg, kind.POSITIONAL_ONLY) for arg in a.posonlyargs] + [
        (arg, kind.POSITIONAL_OR_KEYWORD) for arg in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    described = [(arg, k, d) for (arg, k), d in zip(positional, defaults)]
    described += [(a.vararg, kind.VAR_POSITIONAL, None)] if a.vararg else []
    described += [(arg, kind.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    described += [(a.kwarg, kind.VAR_KEYWORD, None)] if a.kwarg else []

    def text(node):
        return ast.unparse(node) if annotated and node is not None else inspect.Parameter.empty

    params = [inspect.Parameter(arg.arg, k, annotation=text(arg.annotation),
                                default=inspect.Parameter.empty if d is None else ast.literal_eval(d))
              for arg, k, d in described]
    return inspect.Signature(params, return_annotation=text(fn.returns))


def runtime_signature(obj, annotated):
    sig = inspect.signature(obj)
    if annotated:
        return sig
    return sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()],
                       return_annotation=sig.empty)


def instance_fields(cls):
    """The names a class's own code assigns as `self.NAME = ...`."""
    tree = ast.parse(textwrap.dedent(inspect.getsource(cls)))
    return {n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute) and isinstance(n.ctx, ast.Store)
            and isinstance(n.value, ast.Name) and n.value.id == "self"}


def check_body(body, owner, annotated, exact, where):
    """Each stubbed name against `owner`'s; with `exact`, the stub names all that `owner` defines."""
    stubbed = set()
    for node in body:
        if isinstance(node, ast.AnnAssign):
            name = node.target.id
            assert (name in vars(owner) or name in getattr(owner, "__annotations__", {})
                    or name in instance_fields(owner)), f"{where}.{name}"
        elif isinstance(node, ast.FunctionDef):
            name = node.name
            member = vars(owner)[name]
            for decorator in node.decorator_list:
                assert isinstance(member, DESCRIPTORS[decorator.id]), f"{where}.{name} is no {decorator.id}"
                member = member.fget if isinstance(member, property) else member.__func__
            assert stub_signature(node, annotated) == runtime_signature(member, annotated), f"{where}.{name}"
        elif isinstance(node, ast.ClassDef):
            name = node.name
            check_body(node.body, vars(owner)[name], annotated, exact, f"{where}.{name}")
        else:
            continue
        stubbed.add(name)
    defined = {n for n, v in vars(owner).items() if not n.startswith("__") and (
        isinstance(owner, type) or not isinstance(v, types.ModuleType)
        and getattr(v, "__module__", owner.__name__) == owner.__name__)}  # not imported
    missing = defined - stubbed if exact else {n for n in defined if not n.startswith("_")} - stubbed
    assert not missing, f"{where}: not in the stub: {sorted(missing)}"


# The extension's members carry their types at runtime, so there the texts must match too;
# the pure-Python stand-ins carry none.
@pytest.mark.parametrize("module, exact", [("corvane.ftp.path", True), ("corvane.base", False),
                                           ("corvane.config", False)])
def test_stub_matches_runtime(module, exact):
    runtime = importlib.import_module(module)
    stub = os.path.join(os.path.dirname(runtime.__file__), module.rpartition(".")[2] + ".pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    check_body(tree.body, runtime, annotated=exact, exact=exact, where=module)
