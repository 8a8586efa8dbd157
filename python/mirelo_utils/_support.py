"""Small helpers of the package's host glue: texts that may hold file names
which are not UTF-8, shown on a page or printed on the console; optional
packages imported with the hint that installs them."""

from __future__ import annotations

import importlib
import re
from types import ModuleType

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
