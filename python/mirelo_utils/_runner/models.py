"""The caller's models: the record a model factory returns, the factory
loaded from its "module:function" name, the checks of what it returns, and
the identity of the models that a recording's manifest keeps."""

from __future__ import annotations

import importlib
import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Callable, Optional

from .config import ConfigError, ModelSettings

__all__ = ["Models", "load_factory", "make_models", "models_identity"]

# The calls the run makes on each model, as transformers' Grounding DINO
# classes and sam2's predictors answer them.
REQUIRED = {
    "processor": ("__call__", "post_process_grounded_object_detection"),
    "grounding_model": ("__call__",),
    "image_predictor": ("set_image", "predict"),
    "video_predictor": ("init_state", "add_new_mask", "propagate_in_video", "reset_state"),
}


@dataclass(frozen=True)
class Models:
    """The models of a run, as a model factory returns them.

    Attributes:
        processor: The detector's processor (transformers'
            ``GroundingDinoProcessor`` or one answering its calls).
        grounding_model: The detector (``GroundingDinoForObjectDetection``).
        image_predictor: The image predictor (sam2's ``SAM2ImagePredictor``).
        video_predictor: The video predictor (sam2's ``SAM2VideoPredictor``):
            ``init_state``, ``add_new_mask``, ``propagate_in_video`` and
            ``reset_state``.
        device: Where the detector's inputs go ("cpu", "cuda").
        identity: A text naming the weights (a checkpoint's name, say); the
            manifest keeps it. None: a digest of the models' parameters.
    """

    processor: Any
    grounding_model: Any
    image_predictor: Any
    video_predictor: Any
    device: Any = "cpu"
    identity: Optional[str] = None


def load_factory(settings: ModelSettings) -> Callable[..., Any]:
    """The factory function, its folders put in front of the import path.

    Raises:
        ConfigError: the module cannot be imported or has no such callable.
    """
    for folder in reversed(settings.paths):
        if folder not in sys.path:
            sys.path.insert(0, folder)
    try:
        module = importlib.import_module(settings.module)
    except Exception as e:  # noqa: BLE001 - any failure of the import is the factory's
        raise ConfigError(f"models.factory: cannot import {settings.module!r}: {type(e).__name__}: {e}") from None
    function = getattr(module, settings.function, None)
    if not callable(function):
        raise ConfigError(f"models.factory: {settings.module!r} has no function {settings.function!r}")
    return function


def make_models(settings: ModelSettings) -> Models:
    """Calls the factory with the options and checks what it returns.

    Raises:
        ConfigError: the factory cannot be loaded, fails, or returns objects
            without the calls the run makes.
    """
    factory = load_factory(settings)
    try:
        made = factory(**settings.options)
    except Exception as e:  # noqa: BLE001 - the factory's failure is reported as the configuration's
        raise ConfigError(f"models.factory: {settings.factory} failed: {type(e).__name__}: {e}") from None
    if isinstance(made, Models):
        models = made
    else:
        fields = {}
        for name in (*REQUIRED, "device", "identity"):
            found = made.get(name) if isinstance(made, Mapping) else getattr(made, name, None)
            if found is not None:
                fields[name] = found
        missing = [name for name in REQUIRED if name not in fields]
        if missing:
            raise ConfigError(f"models.factory: {settings.factory} returned a {type(made).__name__} without "
                              f"{', '.join(missing)} (expected a mirelo_utils.Models, a mapping or an object "
                              f"with processor, grounding_model, image_predictor and video_predictor)")
        models = Models(**fields)
    for name, calls in REQUIRED.items():
        model = getattr(models, name)
        lacking = [call for call in calls if not callable(getattr(model, call, None))]
        if lacking:
            raise ConfigError(f"models.factory: the {name} that {settings.factory} returned "
                              f"({type(model).__name__}) has no {', '.join(lacking)}")
    if models.identity is not None and not isinstance(models.identity, str):
        raise ConfigError(f"models.factory: expected a text or None for the models' identity, got "
                          f"{type(models.identity).__name__}")
    return models


def _class_name(obj: Any) -> str:
    kind = type(obj)
    return f"{kind.__module__}.{kind.__qualname__}"


def _module_of(obj: Any) -> Any:
    """The torch module holding a model's weights: the model itself, or its
    ``model`` (as sam2's image predictor holds it); None for other objects."""
    torch = sys.modules.get("torch")
    if torch is None:
        return None
    for candidate in (obj, getattr(obj, "model", None)):
        if isinstance(candidate, torch.nn.Module):
            return candidate
    return None


def _weights_digest(models: Models) -> str:
    """sha256 over every parameter and buffer (names, types, shapes, bytes)
    of the models' torch modules."""
    import hashlib

    torch = sys.modules.get("torch")
    digest = hashlib.sha256()
    for name in REQUIRED:
        module = _module_of(getattr(models, name))
        digest.update(f"{name}:{'' if module is None else 'module'}\n".encode())
        if module is None or torch is None:
            continue
        for key, tensor in module.state_dict().items():
            t = tensor.detach().cpu().contiguous().reshape(-1)
            digest.update(f"{key} {t.dtype} {tuple(tensor.shape)}\n".encode())
            if t.numel():
                digest.update(t.view(torch.uint8).numpy())
    return digest.hexdigest()


def models_identity(settings: ModelSettings, models: Models) -> dict[str, Any]:
    """What the manifest keeps of the models: the factory and its options,
    the classes, the device and the weights (the factory's identity text, or
    a digest of the parameters)."""
    return {
        "factory": settings.factory,
        "options": {k: settings.options[k] for k in sorted(settings.options)},
        "classes": {name: _class_name(getattr(models, name)) for name in REQUIRED},
        "device": str(models.device),
        "weights": models.identity if models.identity is not None else _weights_digest(models),
    }
