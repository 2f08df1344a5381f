"""A griffe extension for the documentation's Python API page.

The package attaches some of its own functions to a class of the compiled part when it is
imported (``Matrix.from_scipy = staticmethod(_from_scipy)``, ``Matrix.to_dense = _to_dense``).
Read without importing the module, as the page is, those members would be missing; this
extension finds such assignments in the package's Python files and shows each function as a
member of its class under the attached name, with the function's own signature and docstring,
so the page follows the code whatever is attached.
"""

from __future__ import annotations

import ast
import pathlib

import griffe


def _attachments(source: str):
    """(class name, attribute, function name, static) for each `Class.attr = [staticmethod(]f[)]`
    at the top level of a module."""
    for node in ast.parse(source).body:
        if not (isinstance(node, ast.Assign) and len(node.targets) == 1):
            continue
        target, value = node.targets[0], node.value
        if not (isinstance(target, ast.Attribute) and isinstance(target.value, ast.Name)):
            continue
        static = (
            isinstance(value, ast.Call)
            and isinstance(value.func, ast.Name)
            and value.func.id == "staticmethod"
            and len(value.args) == 1
        )
        if static:
            value = value.args[0]
        if isinstance(value, ast.Name) and not target.attr.startswith("_"):
            yield target.value.id, target.attr, value.id, static


class AttachedMembers(griffe.Extension):
    def on_package(self, *, pkg: griffe.Module, **kwargs) -> None:
        modules = [pkg, *pkg.modules.values()]
        for module in modules:
            path = module.filepath
            if not isinstance(path, pathlib.Path) or path.suffix != ".py":
                continue
            for class_name, attr, function_name, static in _attachments(path.read_text()):
                cls = module.members.get(class_name)
                function = module.members.get(function_name)
                if cls is None or function is None:
                    continue
                if cls.is_alias:
                    cls = cls.final_target
                if not (cls.is_class and function.is_function):
                    continue
                member = griffe.Function(
                    attr,
                    parameters=function.parameters,
                    returns=function.returns,
                    lineno=function.lineno,
                    endlineno=function.endlineno,
                )
                if function.docstring is not None:
                    member.docstring = griffe.Docstring(
                        function.docstring.value, lineno=function.docstring.lineno, parent=member
                    )
                if static:
                    member.labels.add("staticmethod")
                cls.set_member(attr, member)
