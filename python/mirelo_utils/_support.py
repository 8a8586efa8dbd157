"""Small helpers of the package's host glue: texts that may hold file names
which are not UTF-8, shown on a page or printed on the console; optional
packages imported with the hint that installs them; the pages' templates;
the command line's number options."""

from __future__ import annotations

import importlib
import os
import re
from types import ModuleType
from typing import Any, Callable, Optional

# Lone surrogates: the escapes of bytes that are not UTF-8 in names that the
# os functions decode (os.fsdecode), or lone "\udXXX" escapes of a JSON text.
_SURROGATE = re.compile("[\ud800-\udfff]")


def shown_text(text: str) -> str:
    """The text with every lone surrogate as the replacement character
    U+FFFD, so that it can be written as UTF-8 (a page, a table)."""
    return _SURROGATE.sub("\ufffd", text)


def console_text(text: str) -> str:
    """The text as the core's printed lines show it: the bytes of a file
    name that are not UTF-8 escaped ("\\xff"), other lone surrogates as
    "\\udXXX", so that printing never fails whatever the console's encoding
    and a name reads the same in every line of a run."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def import_optional(module: str, caller: str, needs: str, extra: str) -> ModuleType:
    """The optional package `module`, or an ImportError telling which extra
    installs it: "<caller> needs <needs>, installed with the <extra> extra:
    pip install 'mirelo_utils[<extra>]'"."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(
            f"{caller} needs {needs}, installed with the {extra} extra: pip install 'mirelo_utils[{extra}]'"
        ) from e


def page_template(package_file: str, name: str, filters: dict[str, Callable[..., str]]) -> Any:
    """The Jinja2 template `name` from the templates folder beside
    `package_file`, with the filters given. All the package's pages share
    its settings: autoescaped, an undefined name is an error, and blocks
    leave no blank lines behind."""
    import jinja2

    env = jinja2.Environment(
        loader=jinja2.FileSystemLoader(os.path.join(os.path.dirname(package_file), "templates")),
        autoescape=True,
        undefined=jinja2.StrictUndefined,
        trim_blocks=True,
        lstrip_blocks=True,
        keep_trailing_newline=True,
    )
    env.filters.update(filters)
    return env.get_template(name)


def option_type(kind: Callable[[str], Any], what: str, low: float, high: Optional[float], in_range: str) -> Callable[[str], Any]:
    """An argparse type for a number option: the text read with `kind`
    ("expected <what>, got '<text>'" when it is not one) and from `low` to
    `high`, both inclusive, high None for no bound ("expected <in_range>,
    got <text>" otherwise, NaN included)."""

    def read(text: str) -> Any:
        import argparse

        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}") from None
        if not (low <= value and (high is None or value <= high)):
            raise argparse.ArgumentTypeError(f"expected {in_range}, got {text}")
        return value

    return read
