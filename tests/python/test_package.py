"""The package's public surface: names, version, settings."""
import re

import mirelo_utils as mu
from mirelo_utils import _core


def test_every_public_name_of_the_compiled_module_is_exported():
    compiled = {name for name in dir(_core) if not name.startswith("_")}
    assert compiled <= set(mu.__all__), "add the new names to __all__ in mirelo_utils/__init__.py"
    assert all(hasattr(mu, name) for name in mu.__all__)
    assert len(set(mu.__all__)) == len(mu.__all__)


def test_version_comes_from_the_metadata():
    assert re.fullmatch(r"\d+(\.\d+)*(\.dev\d+)?([+-].*)?", mu.__version__)
    assert "__version__" in dir(mu)
    from mirelo_utils import __version__

    assert __version__ == mu.__version__


def test_without_the_package_setting_the_default_pen_root_stands(monkeypatch):
    monkeypatch.delattr(mu, "PEN_JSON_ROOT")
    assert mu.get_pen_json_path("x\\Camera61_2024") == "D:\\pig_tracking\\GSAM2_output\\Cam61.json"
