"""Hostile-input fuzzing of every public entry point of mirelo_utils.

Each case calls one public function with some of its arguments (or record
fields, or model doubles) swapped for hostile values: wrong types, objects
whose protocol methods raise or lie, numpy arrays of every dtype, shape and
layout, broken files, and model doubles that answer nonsense. A case passes
when the call returns, or raises an exception that is not SystemError and
carries a message. A worker process runs the cases; the parent restarts it
after a case that kills it (signal, abort) or stops answering (hang), and
reports that case.

    python tests/fuzz/hostile_inputs.py --sweep          # every value in every argument
    python tests/fuzz/hostile_inputs.py --cases 5000 --seed 3

The compact version in test_hostile_input.py runs a fixed random subset.
"""
from __future__ import annotations

import argparse
import fractions
import decimal
import json
import os
import random
import select
import subprocess
import sys
import tempfile
import time
import traceback
import warnings

# --------------------------------------------------------------------------
# Hostile objects


class Boom(Exception):
    """Raised by the hostile objects' protocol methods."""


class BadLen(list):
    def __len__(self):
        raise Boom("__len__ failed")


class LyingLen(list):
    """Claims far more items than iteration yields."""

    def __len__(self):
        return 10**9


class ShortLen(list):
    """Claims fewer items than it holds."""

    def __len__(self):
        return 1


class BadGetitem(list):
    def __getitem__(self, i):
        raise Boom("__getitem__ failed")


class BadIter(list):
    def __iter__(self):
        yield from list.__iter__(self)[:1]
        raise Boom("__iter__ failed")


class BadFloat:
    def __float__(self):
        raise Boom("__float__ failed")


class FloatNotFloat:
    def __float__(self):
        return "1.0"


class BadIndex:
    def __index__(self):
        raise Boom("__index__ failed")

    def __float__(self):
        return 1.0


class HugeIndex:
    def __index__(self):
        return 2**100


class BadStr:
    def __str__(self):
        raise Boom("__str__ failed")

    def __repr__(self):
        raise Boom("__repr__ failed")

    def __fspath__(self):
        raise Boom("__fspath__ failed")


class BadHash:
    def __hash__(self):
        raise Boom("__hash__ failed")

    def __eq__(self, other):
        raise Boom("__eq__ failed")

    __ne__ = __eq__


class BadBool:
    def __bool__(self):
        raise Boom("__bool__ failed")


class PathBytes:
    def __fspath__(self):
        return b"/tmp"


class PathInt:
    def __fspath__(self):
        return 5


class FakeTensor:
    """detach/cpu/numpy as a tensor has them, answering a list."""

    def detach(self):
        return self

    def cpu(self):
        return self

    def numpy(self):
        return [[1, 2], [3]]


class FakeTensorRaises:
    def detach(self):
        raise Boom("detach failed")

    cpu = numpy = detach


class ArrayRaises:
    def __array__(self, dtype=None, copy=None):
        raise Boom("__array__ failed")


class ArrayInterfaceRaises:
    @property
    def __array_interface__(self):
        raise Boom("__array_interface__ failed")


class BadItems(dict):
    def items(self):
        raise Boom("items failed")


class ItemsNotPairs(dict):
    def items(self):
        return [1, 2, 3]


class ItemsTriples(dict):
    def items(self):
        return [("a", 1, 2)]


class BadKeysDict(dict):
    def __getitem__(self, k):
        raise Boom("__getitem__ failed")

    def __contains__(self, k):
        raise Boom("__contains__ failed")


class BadBoolArray:
    """An object that looks like an array only partly."""

    ndim = 2
    shape = (3, 3)
    dtype = "uint8"


def generic_values():
    """Values of the wrong kind for almost any argument."""
    return {
        "none": lambda c: None,
        "true": lambda c: True,
        "zero": lambda c: 0,
        "neg_one": lambda c: -1,
        "int_2_63": lambda c: 2**63,
        "int_neg_2_63_minus_1": lambda c: -(2**63) - 1,
        "int_huge": lambda c: 10**400,
        "int_neg_huge": lambda c: -(10**400),
        "nan": lambda c: float("nan"),
        "inf": lambda c: float("inf"),
        "neg_inf": lambda c: float("-inf"),
        "float_max": lambda c: 1.7976931348623157e308,
        "float_tiny": lambda c: 5e-324,
        "neg_zero": lambda c: -0.0,
        "complex": lambda c: 1 + 2j,
        "fraction": lambda c: fractions.Fraction(1, 3),
        "decimal_snan": lambda c: decimal.Decimal("sNaN"),
        "decimal_huge": lambda c: decimal.Decimal("1e400000"),
        "np_float16_nan": lambda c: c.np.float16("nan"),
        "np_uint64_max": lambda c: c.np.uint64(2**64 - 1),
        "np_int8_min": lambda c: c.np.int8(-128),
        "np_datetime": lambda c: c.np.datetime64("2024-01-01"),
        "np_bool": lambda c: c.np.bool_(True),
        "str_empty": lambda c: "",
        "str_text": lambda c: "abc",
        "str_nul": lambda c: "a\x00b",
        "str_surrogate": lambda c: "\ud800x",
        "str_long": lambda c: "x" * 100000,
        "str_backslashes": lambda c: "\\\\Camera61_\\\\",
        "bytes": lambda c: b"\xff\xfe",
        "bytearray": lambda c: bytearray(b"ab"),
        "memoryview": lambda c: memoryview(b"abcd"),
        "dict_empty": lambda c: {},
        "dict_nonstr_keys": lambda c: {1: 2, None: 3, (1, 2): 4},
        "dict_bad_items": lambda c: BadItems(a=1),
        "dict_items_not_pairs": lambda c: ItemsNotPairs(a=1),
        "dict_items_triples": lambda c: ItemsTriples(a=1),
        "dict_bad_getitem": lambda c: BadKeysDict(a=1),
        "list_empty": lambda c: [],
        "list_of_lists": lambda c: [[1, 2], [3]],
        "list_of_none": lambda c: [None, None, None, None],
        "list_of_str": lambda c: ["1", "2", "3", "4"],
        "list_nested_deep": lambda c: nested_list(300),
        "tuple_of_tuples": lambda c: ((1, 2), (3, 4)),
        "set": lambda c: {1, 2, 3, 4},
        "generator": lambda c: (i for i in range(4)),
        "range_huge": lambda c: range(10**18),
        "object": lambda c: object(),
        "bad_len": lambda c: BadLen([1, 2, 3, 4]),
        "lying_len": lambda c: LyingLen([1, 2, 3, 4]),
        "short_len": lambda c: ShortLen([1, 2, 3, 4]),
        "bad_getitem": lambda c: BadGetitem([1, 2, 3, 4]),
        "bad_iter": lambda c: BadIter([1, 2, 3, 4]),
        "bad_float": lambda c: BadFloat(),
        "float_not_float": lambda c: FloatNotFloat(),
        "bad_index": lambda c: BadIndex(),
        "huge_index": lambda c: HugeIndex(),
        "bad_str": lambda c: BadStr(),
        "bad_hash": lambda c: BadHash(),
        "bad_bool": lambda c: BadBool(),
        "path_bytes": lambda c: PathBytes(),
        "path_int": lambda c: PathInt(),
        "fake_tensor": lambda c: FakeTensor(),
        "fake_tensor_raises": lambda c: FakeTensorRaises(),
        "array_raises": lambda c: ArrayRaises(),
        "array_interface_raises": lambda c: ArrayInterfaceRaises(),
        "half_array": lambda c: BadBoolArray(),
        "list_of_bad_floats": lambda c: [BadFloat(), BadFloat(), BadFloat(), BadFloat()],
        "list_of_nan": lambda c: [float("nan")] * 4,
        "list_of_huge": lambda c: [10**400] * 4,
        "list_of_big_floats": lambda c: [1e308, -1e308, 1e308, -1e308],
        "list_of_arrays": lambda c: [c.np.zeros((8, 8), bool), c.np.ones((8, 8), c.np.float32)],
        "list_mixed_shapes": lambda c: [c.np.zeros((8, 8), bool), c.np.ones((3, 5), bool)],
        "callable": lambda c: (lambda *a, **k: None),
        "module": lambda c: sys,
        "type": lambda c: int,
        "ellipsis": lambda c: ...,
    }


def nested_list(depth):
    v = [1, 2, 3, 4]
    for _ in range(depth):
        v = [v]
    return v


def array_values():
    """numpy arrays of every dtype, shape and layout, and torch tensors."""
    out = {}
    dtypes = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64", "float16",
              "float32", "float64", "longdouble", "complex64", "complex128", "object", "U3", "S3", "datetime64[s]",
              "timedelta64[s]", ">i4", ">f8", "<u2", "V4", "[('a','<i4'),('b','<f4')]"]
    for dt in dtypes:
        out[f"arr_dtype_{dt}"] = (lambda dt: lambda c: make_array(c, (8, 8), dt))(dt)
        out[f"arr3_dtype_{dt}"] = (lambda dt: lambda c: make_array(c, (2, 8, 8), dt))(dt)
    shapes = {
        "0d": (), "1d": (5,), "1d_empty": (0,), "2d_empty": (0, 0), "0x8": (0, 8), "8x0": (8, 0),
        "1x8x8": (1, 8, 8), "2x8x8": (2, 8, 8), "0x8x8": (0, 8, 8), "1x1x8x8": (1, 1, 8, 8), "2x1x8x8": (2, 1, 8, 8),
        "8x8x3": (8, 8, 3), "8x8x4": (8, 8, 4), "8x8x1": (8, 8, 1), "8x8x2": (8, 8, 2), "8x8x5": (8, 8, 5),
        "0x8x3": (0, 8, 3), "8x0x4": (8, 0, 4), "5d": (2, 2, 2, 2, 2), "4x4": (4, 4), "1x4": (1, 4), "3x4": (3, 4),
        "3x5": (3, 5), "3x3": (3, 3), "4x2": (4, 2), "2x2x4": (2, 2, 4),
        "0xhuge": (0, 2**40), "hugex0": (2**40, 0), "0xhugex3": (0, 2**33, 3), "hugex0x3": (2**33, 0, 3),
        "1x0xhuge": (1, 0, 2**40), "hugex0xhuge": (2**33, 0, 2**33), "0x1xhugexhuge": (0, 1, 2**31, 2**31),
        "0xside32x3": (0, 2**32 + 5, 3), "0x0xchan32": (0, 0, 2**32 + 3),
        "wide_row": (1, 4097), "tall_col": (4097, 1), "1x1": (1, 1),
    }
    for name, shape in shapes.items():
        for dt in ("uint8", "float64", "bool"):
            out[f"arr_{name}_{dt}"] = (lambda shape, dt: lambda c: make_array(c, shape, dt))(shape, dt)
    fills = {"nan": float("nan"), "inf": float("inf"), "neg_inf": float("-inf"), "big": 1e300, "neg": -1.0,
             "neg_big": -1e300}
    for name, v in fills.items():
        for shape_name, shape in (("4", (4,)), ("1x4", (1, 4)), ("8x8", (8, 8)), ("2x8x8", (2, 8, 8)),
                                  ("8x8x3", (8, 8, 3))):
            out[f"arr_fill_{name}_{shape_name}"] = (lambda shape, v: lambda c: c.np.full(shape, v))(shape, v)
    out["arr_int64_min"] = lambda c: c.np.full((8, 8), -(2**63), c.np.int64)
    out["arr_uint64_max"] = lambda c: c.np.full((8, 8), 2**64 - 1, c.np.uint64)
    out["arr_boxes_int64_extreme"] = lambda c: c.np.array([[-(2**63), -(2**63), 2**63 - 1, 2**63 - 1]], c.np.int64)
    out["arr_boxes_uint64_max"] = lambda c: c.np.array([[0, 0, 2**64 - 1, 2**64 - 1]], c.np.uint64)
    out["arr_boxes_f16"] = lambda c: c.np.array([[0, 0, 65504, c.np.inf]], c.np.float16)
    out["arr_fortran"] = lambda c: c.np.asfortranarray(pattern(c, (8, 8), "uint8"))
    out["arr_fortran_3"] = lambda c: c.np.asfortranarray(pattern(c, (8, 8, 3), "uint8"))
    out["arr_noncontig"] = lambda c: pattern(c, (8, 16), "uint8")[:, ::2]
    out["arr_noncontig_3"] = lambda c: pattern(c, (8, 8, 6), "uint8")[:, :, ::2]
    out["arr_negstride"] = lambda c: pattern(c, (8, 8), "uint8")[::-1, ::-1]
    out["arr_negstride_3"] = lambda c: pattern(c, (8, 8, 3), "uint8")[::-1, ::-1, ::-1]
    out["arr_negstride_f"] = lambda c: pattern(c, (2, 8, 8), "float32")[::-1, ::-1]
    out["arr_readonly"] = lambda c: readonly(pattern(c, (8, 8), "uint8"))
    out["arr_readonly_3"] = lambda c: readonly(pattern(c, (8, 8, 3), "uint8"))
    out["arr_bcast_small"] = lambda c: c.np.broadcast_to(c.np.uint8(1), (8, 8))
    out["arr_bcast_rows"] = lambda c: c.np.broadcast_to(pattern(c, (1, 8), "uint8"), (8, 8))
    out["arr_bcast_image"] = lambda c: c.np.broadcast_to(c.np.uint8(7), (8, 8, 3))
    out["arr_bcast_huge_2d"] = lambda c: c.np.broadcast_to(c.np.uint8(1), (2**31, 2**31))
    out["arr_bcast_huge_3d"] = lambda c: c.np.broadcast_to(c.np.uint8(1), (2**20, 2**20, 3))
    out["arr_bcast_huge_f"] = lambda c: c.np.broadcast_to(c.np.float64(1), (2**31, 2**31))
    out["arr_bcast_huge_rows"] = lambda c: c.np.broadcast_to(pattern(c, (1, 8), "uint8"), (2**40, 8))
    out["arr_bcast_many_masks"] = lambda c: c.np.broadcast_to(pattern(c, (8, 8), "uint8"), (2**40, 8, 8))
    out["arr_bcast_many_boxes"] = lambda c: c.np.broadcast_to(c.np.array([0.0, 0, 4, 4]), (2**40, 4))
    out["arr_masked"] = lambda c: c.np.ma.masked_array(pattern(c, (8, 8), "uint8"), mask=pattern(c, (8, 8), "bool"))
    out["arr_matrix_like"] = lambda c: c.np.lib.stride_tricks.as_strided(
        c.np.zeros(16, c.np.uint8), shape=(8, 8), strides=(1, 1))
    out["arr_unaligned"] = lambda c: c.np.frombuffer(b"\x00" * 129, c.np.uint8)[1:].view(c.np.float64).reshape(4, 4)
    out["arr_boxes_ok_big"] = lambda c: c.np.array([[0, 0, 1e15, 1e15]])
    out["arr_boxes_neg"] = lambda c: c.np.array([[10, 10, 0, 0]], c.np.float32)
    try:
        import torch  # noqa: F401

        out.update({
            "t_bool": lambda c: c.torch.zeros(8, 8, dtype=c.torch.bool),
            "t_bf16": lambda c: c.torch.zeros(8, 8, dtype=c.torch.bfloat16),
            "t_f16": lambda c: c.torch.ones(8, 8, dtype=c.torch.float16),
            "t_grad": lambda c: c.torch.ones(8, 8, requires_grad=True),
            "t_transposed": lambda c: c.torch.arange(64, dtype=c.torch.uint8).reshape(8, 8).t(),
            "t_complex": lambda c: c.torch.zeros(8, 8, dtype=c.torch.complex64),
            "t_meta": lambda c: c.torch.empty(8, 8, device="meta"),
            "t_sparse": lambda c: c.torch.eye(8).to_sparse(),
            "t_image": lambda c: c.torch.zeros(8, 8, 3, dtype=c.torch.uint8),
            "t_boxes": lambda c: c.torch.tensor([[0.0, 0, 4, 4]]),
            "t_boxes_nan": lambda c: c.torch.tensor([[float("nan"), 0, 4, 4]]),
            "t_0d": lambda c: c.torch.tensor(3.0),
            "t_masks": lambda c: c.torch.ones(2, 1, 8, 8),
            "t_expanded": lambda c: c.torch.ones(1, 8).expand(8, 8),
        })
    except ImportError:
        pass
    return out


def make_array(c, shape, dtype):
    np = c.np
    dt = np.dtype(eval(dtype)) if dtype.startswith("[") else np.dtype(dtype)  # noqa: S307
    size = 1
    for d in shape:
        size *= d
    if size == 0:
        return np.empty(shape, dt)
    base = (np.arange(size) % 3).reshape(shape)
    if dt.kind in "biufc":
        return base.astype(dt)
    if dt.kind == "O":
        a = np.empty(shape, object)
        a[...] = None
        a.flat[0] = [1, 2]
        return a
    if dt.kind in "US":
        return base.astype(dt)
    if dt.kind in "mM":
        return base.astype("int64").astype(dt)
    return np.zeros(shape, dt)


def pattern(c, shape, dtype):
    np = c.np
    size = 1
    for d in shape:
        size *= d
    return (np.arange(size) % 5 > 2).reshape(shape).astype(dtype)


def readonly(a):
    a.setflags(write=False)
    return a


def image_values():
    def pil(mode, size=(8, 8)):
        return lambda c: c.Image.new(mode, size)

    out = {f"pil_{m}": pil(m) for m in ("1", "L", "P", "RGB", "RGBA", "I", "F", "I;16", "LA", "CMYK", "YCbCr", "PA",
                                         "La", "RGBa", "HSV", "LAB", "I;16B")}
    out.update({
        "pil_empty": pil("RGB", (0, 0)),
        "pil_0x5": pil("RGB", (0, 5)),
        "pil_5x0": pil("RGBA", (5, 0)),
        "pil_1x1": pil("RGB", (1, 1)),
        "pil_wide": pil("RGB", (5000, 1)),
        "pil_closed": lambda c: closed_image(c),
        "pil_lazy_broken": lambda c: lazy_broken_image(c),
        "pil_P_transparency": lambda c: palette_with_transparency(c),
    })
    return out


def closed_image(c):
    im = c.Image.new("RGB", (8, 8))
    im.close()
    return im


def lazy_broken_image(c):
    """An opened PNG whose data was cut after the header: loading fails."""
    path = c.path("truncated.png")
    try:
        return c.Image.open(path)
    except Exception:
        return None


def palette_with_transparency(c):
    im = c.Image.new("P", (8, 8))
    im.info["transparency"] = 0
    return im


def file_values():
    """Paths of broken, odd and hostile files (created by the worker)."""
    names = ["missing", "directory", "empty", "binary", "invalid_utf8", "deep_array", "deep_object", "scalar_json",
             "null_json", "string_json", "utf16", "bom_json", "nan_json", "huge_number_json", "big_file",
             "truncated.png", "png_1x1", "json_as_image", "pen_no_shapes", "pen_shapes_null", "pen_shapes_empty",
             "pen_shapes_dict", "pen_shape_int", "pen_points_int", "pen_two_points", "pen_collinear", "pen_bowtie",
             "pen_nan", "pen_inf", "pen_huge_float", "pen_huge_int", "pen_neg_huge_int", "pen_triple", "pen_strings",
             "pen_bools", "pen_far", "pen_int_min", "pen_many_points", "pen_same_point", "pen_nested_points",
             "pen_ok", "pen_dup_keys", "ann_ok", "ann_image_null", "ann_image_int", "ann_image_list",
             "ann_image_missing", "ann_image_dir", "ann_image_text", "ann_no_detections", "ann_detections_dict",
             "ann_polygon_int", "ann_polygon_nums", "ann_polygon_odd", "ann_polygon_inf", "ann_polygon_huge",
             "ann_polygon_empty", "ann_polygon_unicode_space", "ann_polygon_bad_utf8", "ann_polygon_long",
             "ann_lone_surrogate", "ann_image_surrogate_key", "ann_image_surrogate_list", "ann_big_int",
             "ann_readonly_dir", "ann_draw_ok", "ann_top_list", "ann_no_image_path", "ann_object_id_str",
             "ann_object_id_list", "ann_object_id_null", "ann_object_id_huge", "ann_polygon_nan", "ann_polygon_int32",
             "ann_polygon_far", "ann_polygon_one_point", "ann_xyxy_empty", "ann_xyxy_short", "ann_xyxy_nan",
             "ann_xyxy_inverted", "ann_xyxy_str", "ann_many_detections", "ann_utf16", "video_ok", "video_empty",
             "video_garbage", "video_truncated", "video_one_frame", "video_huge_claims", "image_as_video",
             "name_too_long", "dev_null", "symlink_loop", "symlink_dangling"]
    out = {f"file_{n}": (lambda n: lambda c: c.path(n))(n) for n in names}
    out["file_name_too_long"] = name_too_long
    out["file_dev_null"] = lambda c: os.devnull
    out["file_pathlib"] = lambda c: c.pathlib.Path(c.path("pen_ok"))
    out["file_bytes_path"] = lambda c: os.fsencode(c.path("pen_ok"))
    out["file_nul_path"] = lambda c: c.path("pen_ok") + "\x00junk"
    out["file_dir_nul_path"] = lambda c: c.path("directory") + "\x00junk"
    out["file_surrogate_path"] = lambda c: c.path("pen_ok") + "\udcff"
    return out


def model_values():
    return {f"model_{k}": (lambda k: lambda c: c.doubles(k))(k) for k in DOUBLE_KINDS}


DOUBLE_KINDS = [
    "proc_ok", "proc_returns_none", "proc_batch_no_to", "proc_to_raises", "proc_raises", "proc_post_raises",
    "proc_post_none", "proc_post_empty_list", "proc_post_empty_dict", "proc_post_int", "proc_scores_str",
    "proc_scores_2d", "proc_scores_short", "proc_labels_int", "proc_labels_none", "proc_labels_long",
    "proc_labels_surrogate", "proc_labels_generator", "proc_boxes_3d", "proc_boxes_1d", "proc_boxes_nan",
    "proc_boxes_inf", "proc_boxes_huge", "proc_boxes_neg", "proc_boxes_object", "proc_boxes_x5",
    "proc_boxes_bcast_huge", "proc_boxes_uint64", "proc_many_boxes", "proc_no_input_ids", "proc_keyboard",
    "proc_batch_not_mapping",
    "model_ok", "model_raises", "model_returns_none", "model_keyboard", "model_system_exit",
    "pred_ok", "pred_set_image_raises", "pred_predict_raises", "pred_returns_none", "pred_returns_two",
    "pred_returns_generator", "pred_masks_3d", "pred_masks_2d", "pred_masks_5d", "pred_masks_big",
    "pred_masks_small", "pred_masks_empty", "pred_masks_object", "pred_masks_str", "pred_masks_complex",
    "pred_masks_f16", "pred_masks_bool", "pred_masks_int64", "pred_masks_uint64", "pred_masks_nan",
    "pred_masks_neg", "pred_masks_list", "pred_masks_none", "pred_masks_bcast_huge", "pred_masks_noncontig",
    "pred_masks_bigendian", "pred_masks_tensor", "pred_masks_wrong_count", "pred_masks_0d", "pred_masks_fortran",
    "pred_no_model", "pred_model_no_encoder", "pred_encoder_raises", "pred_encoder_not_dict",
    "pred_encoder_no_key", "pred_encoder_bf16", "pred_encoder_object", "pred_device_raises",
    "pred_params_empty", "pred_params_raise", "pred_reenters", "proc_reenters",
    "pred_encoder_rank3", "pred_encoder_batch2", "pred_encoder_numpy", "pred_encoder_int", "pred_encoder_nan",
    "pred_encoder_no_area", "pred_encoder_list", "pred_encoder_varying", "pred_encoder_grad",
]


# --------------------------------------------------------------------------
# Model doubles following the real call forms


def make_doubles(c, kind):
    np, torch = c.np, c.torch

    class Batch(dict):
        @property
        def input_ids(self):
            if kind == "proc_no_input_ids":
                raise AttributeError("input_ids")
            return self["input_ids"]

        def to(self, device):
            if kind == "proc_to_raises":
                raise Boom("to failed")
            return self

    class NoToBatch(dict):
        pass

    class Processor:
        def __init__(self):
            self.n = 3

        def __call__(self, images, text, return_tensors):
            if kind == "proc_raises":
                raise Boom("processor failed")
            if kind == "proc_reenters" and not getattr(c, "reentered", False):
                # A model object that calls back into the library mid-call.
                c.reentered = True
                try:
                    c.mu.initializer("clip", [c.frame], Processor(), Model(), "cpu", Predictor(),
                                     custom_pen_json_path=c.path("pen_ok"), close_set_num=1)
                finally:
                    c.reentered = False
            if kind == "proc_keyboard":
                raise KeyboardInterrupt
            if kind == "proc_returns_none":
                return None
            if kind == "proc_batch_no_to":
                return NoToBatch(input_ids=1)
            if kind == "proc_batch_not_mapping":
                class NotMapping:
                    input_ids = 1

                    def to(self, device):
                        return self
                return NotMapping()
            return Batch(input_ids=torch.tensor([[1, 2]]), pixel_values=torch.zeros(1))

        def post_process_grounded_object_detection(self, outputs, input_ids, text_threshold, target_sizes):
            if kind == "proc_post_raises":
                raise Boom("post failed")
            if kind == "proc_post_none":
                return None
            if kind == "proc_post_empty_list":
                return []
            if kind == "proc_post_empty_dict":
                return [{}]
            if kind == "proc_post_int":
                return 5
            h, w = target_sizes[0]
            n = 3
            boxes = np.array([[1, 1, 4, 4], [5, 1, 8, 4], [10, 2, 14, 6]], np.float32)
            scores = np.array([0.9, 0.8, 0.7], np.float32)
            labels = ["pig"] * n
            if kind == "proc_scores_str":
                scores = np.array(["a", "b", "c"])
            elif kind == "proc_scores_2d":
                scores = np.ones((3, 3), np.float32)
            elif kind == "proc_scores_short":
                scores = scores[:1]
            elif kind == "proc_labels_int":
                labels = [1, 2, 3]
            elif kind == "proc_labels_none":
                labels = None
            elif kind == "proc_labels_long":
                labels = ["pig"] * 10
            elif kind == "proc_labels_surrogate":
                labels = ["pig", "\ud800", "pig"]
            elif kind == "proc_labels_generator":
                labels = (x for x in ["pig"] * 3)
            elif kind == "proc_boxes_3d":
                boxes = boxes.reshape(3, 2, 2)
            elif kind == "proc_boxes_1d":
                boxes = boxes.ravel()
            elif kind == "proc_boxes_nan":
                boxes[:, :] = np.nan
            elif kind == "proc_boxes_inf":
                boxes[0] = [-np.inf, -np.inf, np.inf, np.inf]
            elif kind == "proc_boxes_huge":
                boxes = boxes.astype(np.float64) * 1e300
            elif kind == "proc_boxes_neg":
                boxes = -boxes
            elif kind == "proc_boxes_object":
                boxes = boxes.astype(object)
            elif kind == "proc_boxes_x5":
                boxes = np.ones((3, 5), np.float32)
            elif kind == "proc_boxes_bcast_huge":
                boxes = np.broadcast_to(boxes[:1], (2**40, 4))
            elif kind == "proc_boxes_uint64":
                boxes = np.full((3, 4), 2**64 - 1, np.uint64)
            elif kind == "proc_many_boxes":
                n = 400
                rng = np.random.default_rng(0)
                xy = rng.uniform(0, min(h, w) - 2, (n, 2)).astype(np.float32)
                boxes = np.concatenate([xy, xy + 2], 1)
                scores = rng.uniform(0, 1, n).astype(np.float32)
                labels = ["pig"] * n
            return [{"scores": torch.from_numpy(np.ascontiguousarray(scores)) if scores.dtype.kind == "f" else scores,
                     "labels": labels, "boxes": boxes}]

    class Model:
        def __call__(self, **kwargs):
            if kind == "model_raises":
                raise Boom("model failed")
            if kind == "model_keyboard":
                raise KeyboardInterrupt
            if kind == "model_system_exit":
                raise SystemExit(3)
            if kind == "model_returns_none":
                return None
            return {"logits": 1}

    class Params:
        def __iter__(self):
            if kind == "pred_params_raise":
                raise Boom("parameters failed")
            return iter([])

    class Inner:
        @property
        def device(self):
            if kind == "pred_device_raises":
                raise Boom("device failed")
            return torch.device("cpu")

        def image_encoder(self, x):
            if kind == "pred_encoder_raises":
                raise Boom("encoder failed")
            if kind == "pred_encoder_not_dict":
                return 5
            if kind == "pred_encoder_no_key":
                return {}
            if kind == "pred_encoder_bf16":
                return {"vision_features": torch.zeros(1, 2, 2, 2, dtype=torch.bfloat16)}
            if kind == "pred_encoder_object":
                return {"vision_features": np.array([None, [1]], dtype=object)}
            features = {
                "pred_encoder_rank3": lambda: torch.zeros(1, 4, 2),
                "pred_encoder_batch2": lambda: torch.zeros(2, 4, 2, 2),
                "pred_encoder_numpy": lambda: np.zeros((1, 4, 2, 2), np.float32),
                "pred_encoder_int": lambda: torch.zeros(1, 4, 2, 2, dtype=torch.int64),
                "pred_encoder_nan": lambda: torch.full((1, 4, 2, 2), float("nan")),
                "pred_encoder_no_area": lambda: torch.zeros(1, 4, 0, 0),
                "pred_encoder_list": lambda: [[[[0.0]]]],
                # a different length on every call
                "pred_encoder_varying": lambda: torch.zeros(1, 2 + len(getattr(self, "seen", [])), 2, 2),
                "pred_encoder_grad": lambda: torch.ones(1, 4, 2, 2, requires_grad=True) * x.mean(),
            }.get(kind)
            self.seen = getattr(self, "seen", []) + [1]
            return {"vision_features": features() if features else torch.zeros(1, 4, 2, 2) + x.mean()}

    class ParamsModel(Inner):
        device = None

        def parameters(self):
            return Params()

    class NoEncoder:
        device = "cpu"

    class Predictor:
        def __init__(self):
            if kind == "pred_model_no_encoder":
                self.model = NoEncoder()
            elif kind in ("pred_params_empty", "pred_params_raise"):
                m = ParamsModel()
                del_device(m)
                self.model = m
            elif kind != "pred_no_model":
                self.model = Inner()

        def set_image(self, image):
            if kind == "pred_set_image_raises":
                raise Boom("set_image failed")
            if kind == "pred_reenters":
                c.mu.img_bbx_drawing(image, {"a": image[..., 0] > 0})
                c.mu.cal_masks_iou_scores([image[..., 0]], [image[..., 1]])
            self.h, self.w = image.shape[:2]

        def predict(self, point_coords=None, point_labels=None, box=None, multimask_output=True):
            if kind == "pred_predict_raises":
                raise Boom("predict failed")
            if kind == "pred_returns_none":
                return None
            if kind == "pred_returns_two":
                return (1, 2)
            if kind == "pred_returns_generator":
                return (x for x in range(3))
            box = np.asarray(box)
            k = len(box) if box.ndim else 1
            h, w = getattr(self, "h", 8), getattr(self, "w", 8)
            masks = np.zeros((k, 1, h, w), np.float32)
            for i, b in enumerate(np.nan_to_num(box.reshape(-1, 4)).clip(-1e6, 1e6).astype(int)):
                masks[i, 0, max(b[1], 0):max(b[3], 0), max(b[0], 0):max(b[2], 0)] = 1
            scores = np.ones(k, np.float32)
            m = {
                "pred_masks_3d": lambda: masks[:, 0],
                "pred_masks_2d": lambda: masks[0, 0],
                "pred_masks_5d": lambda: masks[None],
                "pred_masks_big": lambda: np.ones((k, 1, h + 7, w + 9), np.float32),
                "pred_masks_small": lambda: np.ones((k, 1, 2, 3), np.float32),
                "pred_masks_empty": lambda: np.ones((k, 1, 0, 0), np.float32),
                "pred_masks_object": lambda: masks.astype(object),
                "pred_masks_str": lambda: masks.astype(str),
                "pred_masks_complex": lambda: masks.astype(np.complex64),
                "pred_masks_f16": lambda: masks.astype(np.float16),
                "pred_masks_bool": lambda: masks.astype(bool),
                "pred_masks_int64": lambda: masks.astype(np.int64),
                "pred_masks_uint64": lambda: masks.astype(np.uint64) * np.uint64(2**63),
                "pred_masks_nan": lambda: np.full((k, 1, h, w), np.nan, np.float32),
                "pred_masks_neg": lambda: -masks,
                "pred_masks_list": lambda: masks.tolist(),
                "pred_masks_none": lambda: None,
                "pred_masks_bcast_huge": lambda: np.broadcast_to(np.float32(1), (k, 1, 2**20, 2**20)),
                "pred_masks_noncontig": lambda: np.ones((k, 1, h, 2 * w), np.float32)[..., ::2],
                "pred_masks_bigendian": lambda: masks.astype(">f4"),
                "pred_masks_tensor": lambda: torch.from_numpy(masks),
                "pred_masks_wrong_count": lambda: np.ones((k + 2, 1, h, w), np.float32),
                "pred_masks_0d": lambda: np.float32(1),
                "pred_masks_fortran": lambda: np.asfortranarray(masks),
            }.get(kind)
            out = m() if m else (masks[0] if k == 1 else masks)
            return out, scores, np.zeros((k, 1, 4, 4), np.float32)

    return {"processor": Processor(), "model": Model(), "predictor": Predictor()}


def del_device(m):
    """A model without a device attribute (the parameters are asked instead)."""
    type(m).device = property(lambda self: (_ for _ in ()).throw(AttributeError("device")))


# --------------------------------------------------------------------------
# Targets: the public entry points with a valid baseline per argument


class Context:
    """What the worker prepares once: modules, files and a scratch folder."""

    def __init__(self, root):
        import pathlib

        import numpy as np
        from PIL import Image

        import mirelo_utils as mu

        self.np, self.Image, self.mu, self.pathlib, self.root = np, Image, mu, pathlib, root
        try:
            import torch

            self.torch = torch
        except ImportError:
            self.torch = None
        self.files = os.path.join(root, "files")
        os.makedirs(self.files, exist_ok=True)
        make_files(self)
        self.counter = 0

    def path(self, name):
        return os.path.join(self.files, name)

    def scratch(self):
        """A fresh folder for one case's outputs."""
        self.counter += 1
        d = os.path.join(self.root, "scratch", str(self.counter))
        os.makedirs(d, exist_ok=True)
        return d

    def doubles(self, kind):
        d = make_doubles(self, kind)
        if kind.startswith("proc_"):
            return d["processor"]
        if kind.startswith("model_"):
            return d["model"]
        return d["predictor"]

    def cluster(self):
        """An in-process Dask cluster, started on first use and kept for the worker's cases."""
        if getattr(self, "_client", None) is None:
            import logging

            import distributed

            logging.getLogger("distributed").setLevel(logging.ERROR)  # stderr is read only at the end
            self._client = distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                                              dashboard_address=None,
                                              scheduler_kwargs={"dashboard_address": ":0"})
        return self._client

    def copy_of(self, name):
        """A fresh copy of a prepared file (for calls that rewrite files)."""
        import shutil

        src = self.path(name)
        dst = os.path.join(self.scratch(), name)
        if os.path.isdir(src) or not os.path.exists(src):
            return src
        shutil.copyfile(src, dst)
        return dst


def write(path, data):
    with open(path, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8", "surrogatepass"))


def make_files(c):
    np, Image = c.np, c.Image
    p = c.path
    os.makedirs(p("directory"), exist_ok=True)
    os.makedirs(os.path.join(p("directory"), "sub"), exist_ok=True)
    write(os.path.join(p("directory"), "sub", "a.jpg"), b"x")
    write(p("empty"), b"")
    write(p("binary"), bytes(range(256)) * 4)
    write(p("invalid_utf8"), b'{"shapes": [{"points": [[0, 0]], "label": "\xff\xfe"}]}')
    write(p("deep_array"), "[" * 200000 + "]" * 200000)
    write(p("deep_object"), '{"a":' * 100000 + "1" + "}" * 100000)
    write(p("scalar_json"), "5")
    write(p("null_json"), "null")
    write(p("string_json"), '"shapes"')
    write(p("utf16"), json.dumps({"shapes": [{"points": [[0, 0], [5, 0], [5, 5]]}]}).encode("utf-16"))
    write(p("bom_json"), b"\xef\xbb\xbf" + json.dumps({"shapes": [{"points": [[0, 0], [8, 0], [8, 8]]}]}).encode())
    write(p("nan_json"), '{"shapes": [{"points": [[NaN, 0], [Infinity, -Infinity], [1, 1]]}]}')
    write(p("huge_number_json"), '{"shapes": [{"points": [[1e400, 0], [' + "9" * 5000 + ', 1], [1, -1e400]]}]}')
    write(p("big_file"), json.dumps({"shapes": [{"points": [[i % 8, (i * 7) % 8] for i in range(200000)]}]}))
    png = os.path.join(c.files, "full.png")
    Image.new("RGB", (8, 8), (10, 20, 30)).save(png)
    data = open(png, "rb").read()
    write(p("truncated.png"), data[:40])
    Image.new("RGB", (1, 1)).save(p("png_1x1"), format="PNG")
    write(p("json_as_image"), json.dumps({"shapes": []}))

    def pen(name, obj):
        write(p(name), obj if isinstance(obj, str) else json.dumps(obj))

    pen("pen_no_shapes", {"version": 1})
    pen("pen_shapes_null", {"shapes": None})
    pen("pen_shapes_empty", {"shapes": []})
    pen("pen_shapes_dict", {"shapes": {"points": [[0, 0]]}})
    pen("pen_shape_int", {"shapes": [5]})
    pen("pen_points_int", {"shapes": [{"points": 5}]})
    pen("pen_two_points", {"shapes": [{"points": [[0, 0], [5, 5]]}]})
    pen("pen_collinear", {"shapes": [{"points": [[0, 0], [4, 4], [8, 8]]}]})
    pen("pen_bowtie", {"shapes": [{"points": [[0, 0], [8, 8], [8, 0], [0, 8]]}]})
    pen("pen_nan", '{"shapes": [{"points": [[0, 0], [NaN, 8], [8, 8]]}]}')
    pen("pen_inf", '{"shapes": [{"points": [[0, 0], [Infinity, 8], [8, -Infinity]]}]}')
    pen("pen_huge_float", {"shapes": [{"points": [[0, 0], [1e308, 8], [8, 1e308]]}]})
    pen("pen_huge_int", '{"shapes": [{"points": [[0, 0], [' + "9" * 40 + ', 8], [8, 8]]}]}')
    pen("pen_neg_huge_int", '{"shapes": [{"points": [[0, 0], [-' + "9" * 40 + ', 8], [8, 8]]}]}')
    pen("pen_triple", {"shapes": [{"points": [[0, 0, 0], [8, 0, 0], [8, 8, 0]]}]})
    pen("pen_strings", {"shapes": [{"points": [["0", "0"], ["8", "0"], ["8", "8"]]}]})
    pen("pen_bools", {"shapes": [{"points": [[True, False], [False, True], [True, True]]}]})
    pen("pen_far", {"shapes": [{"points": [[-2**31, -2**31], [2**31 - 1, -2**31], [2**31 - 1, 2**31 - 1]]}]})
    # One vertex two billion rows above the frame: clipped before filling.
    pen("pen_int_min", {"shapes": [{"points": [[1.5, 2.25], [50.75, -2**31], [40, 30.5]]}]})
    pen("pen_many_points", {"shapes": [{"points": [[4 + 3.9 * np.cos(t), 4 + 3.9 * np.sin(t)]
                                                   for t in np.linspace(0, 6.28, 20000)]}]})
    pen("pen_same_point", {"shapes": [{"points": [[3, 3]] * 5}]})
    pen("pen_nested_points", {"shapes": [{"points": [[[0, 0]], [[8, 0]], [[8, 8]]]}]})
    pen("pen_ok", {"shapes": [{"points": [[0, 0], [8, 0], [8, 8], [0, 8]]}]})
    pen("pen_dup_keys", '{"shapes": [], "shapes": [{"points": [[0, 0], [8, 0], [8, 8]]}]}')

    img = p("png_1x1")
    frame = os.path.join(c.files, "frame.jpg")
    Image.new("RGB", (16, 8), (50, 60, 70)).save(frame)

    def ann(name, image_path=frame, polygons=("0 0.5 0.25",), detections=None, raw=None):
        if raw is not None:
            return write(p(name), raw)
        doc = {"image_path": image_path,
               "detections": detections if detections is not None else [{"formatted_polygon": list(polygons)}]}
        write(p(name), json.dumps(doc))

    ann("ann_ok")
    ann("ann_image_null", image_path=None)
    ann("ann_image_int", image_path=5)
    ann("ann_image_list", image_path=[frame])
    ann("ann_image_missing", image_path=p("nope.jpg"))
    ann("ann_image_dir", image_path=p("directory"))
    ann("ann_image_text", image_path=p("pen_ok"))
    ann("ann_no_detections", raw=json.dumps({"image_path": img}))
    ann("ann_detections_dict", detections={"formatted_polygon": []})
    ann("ann_polygon_int", polygons=[5])
    ann("ann_polygon_nums", detections=[{"formatted_polygon": [[0, 1, 2]]}])
    ann("ann_polygon_odd", polygons=["0 1 2 3"])
    ann("ann_polygon_inf", polygons=["0 inf -inf", "1 nan 1e-400", "2 1_0 -0"])
    ann("ann_polygon_huge", polygons=["0 1e308 1e308", "1 " + "9" * 400 + " 1"])
    ann("ann_polygon_empty", polygons=["", "   ", "\t\n"])
    ann("ann_polygon_unicode_space", polygons=["0\u3000 1\u00a02 \u2028"])
    ann("ann_polygon_bad_utf8", raw=b'{"image_path": "x", "detections": [{"formatted_polygon": ["0 \xc3\x28 1"]}]}')
    ann("ann_polygon_long", polygons=["0 " + " ".join(["0.5"] * 20000)])
    ann("ann_lone_surrogate", raw=json.dumps({"image_path": frame, "detections": [
        {"formatted_polygon": ["0 0.5 0.5"], "note": "\ud800"}]}))
    # Lone surrogates as an object key and in a list, inside "image_path".
    ann("ann_image_surrogate_key", raw='{"image_path": {"\\ud800": 1}, "detections": []}')
    ann("ann_image_surrogate_list", raw='{"image_path": ["\\ud800"], "detections": []}')
    ann("ann_big_int", raw='{"image_path": "%s", "detections": [], "n": %s}' % (frame, "9" * 300))
    def drawn(**det):
        return {"object_id": 1, "xyxy": [[1, 1, 6, 6]], "formatted_polygon": ["0 0.1 0.1 0.5 0.1 0.5 0.9"], **det}

    ann("ann_draw_ok", detections=[drawn(), drawn(object_id=2, xyxy=[[0, 0, 4, 4], [8, 2, 15, 7]])])
    ann("ann_top_list", raw="[1, 2]")
    ann("ann_no_image_path", raw=json.dumps({"detections": [drawn()]}))
    ann("ann_object_id_str", detections=[drawn(object_id="2")])
    ann("ann_object_id_list", detections=[drawn(object_id=[1])])
    ann("ann_object_id_null", detections=[drawn(object_id=None)])
    ann("ann_object_id_huge", raw='{"image_path": "%s", "detections": [{"object_id": %s, "xyxy": [], '
                                  '"formatted_polygon": []}]}' % (frame, "-" + "9" * 30))
    ann("ann_polygon_nan", detections=[drawn(formatted_polygon=["0 nan 0.5 0.5 0.5"])])
    ann("ann_polygon_int32", detections=[drawn(formatted_polygon=["0 2e8 0.5 0.5 0.5 0.5 0.7"])])
    ann("ann_polygon_far", detections=[drawn(formatted_polygon=["0 -1e7 -1e7 1e7 0.5 0.5 1e7"])])
    ann("ann_polygon_one_point", detections=[drawn(formatted_polygon=["0 0.5 0.5"])])
    ann("ann_xyxy_empty", detections=[drawn(), drawn(object_id=2, xyxy=[])])
    ann("ann_xyxy_short", detections=[drawn(xyxy=[[1, 2, 3]])])
    ann("ann_xyxy_nan", raw='{"image_path": "%s", "detections": [{"object_id": 1, "xyxy": [[NaN, 0, Infinity, 1]], '
                            '"formatted_polygon": []}]}' % frame)
    ann("ann_xyxy_inverted", detections=[drawn(xyxy=[[9, 9, 1, 1]])])
    ann("ann_xyxy_str", detections=[drawn(xyxy=["abcd"])])
    ann("ann_many_detections", detections=[drawn(object_id=k) for k in range(3000)])
    write(p("ann_utf16"), json.dumps({"image_path": frame, "detections": []}).encode("utf-16"))

    def clip(name, files, image=frame):
        d = p(name)
        os.makedirs(d, exist_ok=True)
        for file_name, doc in files.items():
            target = os.path.join(d, file_name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            write(target, doc if isinstance(doc, (str, bytes)) else json.dumps({"image_path": image, **doc}))
        return d

    ok_doc = {"detections": [drawn(), drawn(object_id=2, formatted_polygon=["0 0.6 0.1 0.9 0.1 0.9 0.9"])]}
    clip("clip_ok", {f"output_pp_{k}.json": ok_doc for k in range(3)})
    clip("clip_bad_json", {"output_pp_0.json": ok_doc, "output_pp_1.json": "{broken"})
    clip("clip_image_missing", {"output_pp_0.json": ok_doc}, image=p("missing"))
    clip("clip_image_text", {"output_pp_0.json": ok_doc}, image=p("pen_ok"))
    clip("clip_bad_name", {"data_7.json": ok_doc})
    clip("clip_huge_index", {"output_pp_" + "9" * 40 + ".json": ok_doc, "sub/output_pp_00.json": ok_doc})
    clip("clip_bad_detections", {"output_pp_0.json": ok_doc, "output_pp_1.json": {"detections": {"a": 1}}})
    try:
        os.symlink(p("clip_ok"), os.path.join(p("clip_ok"), "loop"))
    except OSError:
        pass
    ro = p("ann_readonly_dir")
    os.makedirs(ro, exist_ok=True)

    # videos
    import cv2

    def video(name, frames, w=32, h=24, fps=25.0):
        path = p(name) + ".mp4"
        wr = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), fps, (w, h))
        for k in range(frames):
            f = np.full((h, w, 3), 90, np.uint8)
            f[2:20, 24:28] = (0, 128, 255)
            f[0, k % w] = 255
            wr.write(f)
        wr.release()
        os.replace(path, p(name))

    video("video_ok", 30)
    video("video_one_frame", 1)
    write(p("video_empty"), b"")
    write(p("video_garbage"), os.urandom(4096) if False else bytes((i * 37) % 256 for i in range(4096)))
    data = open(p("video_ok"), "rb").read()
    write(p("video_truncated"), data[: len(data) // 3])
    # A file that claims a huge frame count and frame size in its header but holds nothing else.
    write(p("video_huge_claims"), data[:64] + b"\xff" * 64)
    write(p("image_as_video"), open(png, "rb").read())
    write(p("dev_null"), b"")
    try:
        os.symlink(p("symlink_loop"), p("symlink_loop"))
        os.symlink(p("nowhere"), p("symlink_dangling"))
    except OSError:
        pass
    c.frame = frame
    c.video = p("video_ok")


def name_too_long(c):
    return os.path.join(c.files, "n" * 5000)


class Target:
    def __init__(self, name, params, call, kinds):
        self.name, self.params, self.call, self.kinds = name, params, call, kinds


def mask(c, shape=(8, 8), x0=1, y0=1, x1=6, y1=6):
    m = c.np.zeros(shape, bool)
    m[y0:y1, x0:x1] = True
    return m


def fresh_clip(c):
    """A copy of the small clip of annotation files, for one case to edit."""
    import shutil

    d = os.path.join(c.scratch(), "clip")
    shutil.copytree(c.path("clip_ok"), d, symlinks=True)
    return d


def edited_clip(c):
    """A copy of the small clip with one correction made."""
    d = fresh_clip(c)
    c.mu.swap_identities(d, 1, 2, 0)
    return d


def track_file(c, kind):
    """A small track file in a fresh folder: MOTChallenge boxes, or MOTS masks."""
    path = os.path.join(c.scratch(), kind + ".txt")
    if kind == "mots":
        counts = c.mu.rle_encode(mask(c))["counts"]
        text = "".join(f"{f} {i} 2 8 8 {counts}\n" for f in (1, 2) for i in (1, 2) if i == 1 or f == 2)
    else:
        text = "1,1,0,0,10,10,1,1,1\n2,1,1,0,10,10,1,1,1\n2,2,30,30,5,5,1,1,1\n"
    with open(path, "w") as f:
        f.write(text)
    return path


def _bbx(c, image, mask_dict):
    return c.mu.img_bbx_drawing(image, mask_dict)


def _plot(c, fn, *args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    show = plt.show
    plt.show = lambda *a, **k: None  # Agg cannot show and would warn
    try:
        return fn(*args)
    finally:
        plt.show = show
        plt.close("all")


def records(c, areas=None, cells=((0, 90.0), (12.5, 0)), keys=("Box0", "Box1")):
    """A clip of two frame records: one overlap, one vanished mask."""
    import pandas as pd

    areas = {"Box0": 25, "Box1": 0} if areas is None else areas
    table = pd.DataFrame(list(cells), index=list(keys), columns=list(keys))
    return {0: {"mask_areas": areas, "intersections_df": table}, 1: {"mask_areas": dict(areas), "intersections_df": table}}


class FakeTable:
    """A table whose parts disagree or misbehave."""

    def __init__(self, cells, index, columns):
        self._cells, self.index, self.columns = cells, index, columns

    def to_numpy(self):
        if isinstance(self._cells, Exception):
            raise self._cells
        return self._cells


def _refine(c, video_segments, video_dir, frame_names, min_area_ratio, max_distance_ratios, max_prev_dist,
            prev_centroids, custom_pen_json_path):
    r = c.mu.Mask_Refinement(min_area_ratio, max_distance_ratios, max_prev_dist, custom_pen_json_path)
    r.prev_centroids = prev_centroids
    return r.process_video_segments(video_segments, video_dir, frame_names)


def _kept_pieces(c, *args):
    return c.mu.Mask_Refinement().get_dis_to_main_and_prev_blob(*args)


def _pen_root(c, video_dir, custom, root):
    old = c.mu.PEN_JSON_ROOT
    c.mu.PEN_JSON_ROOT = root
    try:
        return c.mu.get_pen_json_path(video_dir, custom)
    finally:
        c.mu.PEN_JSON_ROOT = old


def _metadata(c, **fields):
    return c.mu.VideoMetadata(**fields).get_filtered_video_dataframe()


def _processor(c, fields, method, *args):
    vp = c.mu.VideoProcessor(**fields)
    return getattr(vp, method)(*args)


def _crop(c, resize_dim, frame_skip, camera_crop_coords, crop_field, left_crop, video_path, output_dir, start_min,
          end_min, camera_number, crop):
    fields = dict(resize_dim=resize_dim, frame_skip=frame_skip, camera_crop_coords=camera_crop_coords,
                  crop=crop_field, left_crop=left_crop, output_dir_base=c.scratch())
    return _processor(c, fields, "crop_video_to_frames", video_path, output_dir, start_min, end_min, camera_number,
                      crop)


def _run(c, resize_dim, frame_skip, time_step, output_dir_base, camera_crop_coords, crop, left_crop, df):
    fields = dict(resize_dim=resize_dim, frame_skip=frame_skip, time_step=time_step, output_dir_base=output_dir_base,
                  camera_crop_coords=camera_crop_coords, crop=crop, left_crop=left_crop)
    return _processor(c, fields, "process_videos_to_frames", df)


def _cluster_run(c, resize_dim, frame_skip, time_step, output_dir_base, camera_crop_coords, crop, left_crop, df,
                 client, messages, errors):
    vp = c.mu.VideoProcessor(resize_dim=resize_dim, frame_skip=frame_skip, time_step=time_step,
                             output_dir_base=output_dir_base, camera_crop_coords=camera_crop_coords, crop=crop,
                             left_crop=left_crop)
    return c.mu.process_videos_on_cluster(df, vp, client, messages=messages, errors=errors)


def video_table(c, path=None, camera="64", date="20240115"):
    import pandas as pd

    path = path or c.video
    return pd.DataFrame([[camera, date, "08:00:00", path, "Camera64_1_20240115080000"]],
                        columns=["Camera Number", "Date", "Time", "File Path", "Video Name"])


def df_values():
    def bad_table(**cols):
        def make(c):
            import pandas as pd

            base = {"Camera Number": ["64"], "Date": ["d"], "Time": ["08:00:00"], "File Path": [c.video],
                    "Video Name": ["v"]}
            base.update({k: [v(c) if callable(v) else v] for k, v in cols.items()})
            return pd.DataFrame(base)
        return make

    def missing_column(c):
        return video_table(c).drop(columns=["File Path"])

    def many_rows(c):
        import pandas as pd

        return pd.concat([video_table(c)] * 3, ignore_index=True)

    def nonstr_columns(c):
        import pandas as pd

        return pd.DataFrame({0: [1], 1: [2]})

    return {
        "df_missing_column": missing_column,
        "df_path_none": bad_table(**{"File Path": None}),
        "df_path_int": bad_table(**{"File Path": 5}),
        "df_path_missing": bad_table(**{"File Path": "/nonexistent/x.mp4"}),
        "df_path_garbage": bad_table(**{"File Path": lambda c: c.path("video_garbage")}),
        "df_path_empty_video": bad_table(**{"File Path": lambda c: c.path("video_empty")}),
        "df_path_dir": bad_table(**{"File Path": lambda c: c.path("directory")}),
        "df_camera_bad_str": bad_table(**{"Camera Number": lambda c: BadStr()}),
        "df_camera_bad_hash": bad_table(**{"Camera Number": lambda c: BadHash()}),
        "df_camera_nan": bad_table(**{"Camera Number": float("nan")}),
        "df_date_slash": bad_table(Date="../../escape"),
        "df_date_nul": bad_table(Date="a\x00b"),
        "df_date_surrogate": bad_table(Date="\udcff"),
        "df_name_long": bad_table(**{"Video Name": "v" * 5000}),
        "df_nonstr_columns": nonstr_columns,
        "df_many_rows": many_rows,
    }


def coords_values():
    return {
        "coords_short": lambda c: {"64": (0, 0, 1)},
        "coords_floats": lambda c: {"64": (0.5, 0, 1, 1)},
        "coords_huge": lambda c: {"64": (-(2**63), -(2**63), 2**63 - 1, 2**63 - 1)},
        "coords_hugeer": lambda c: {"64": (-(10**30), 0, 10**30, 10**30)},
        "coords_inverted": lambda c: {"64": (30, 20, 2, 2)},
        "coords_empty_window": lambda c: {"64": (5, 5, 5, 5)},
        "coords_str": lambda c: {"64": "abcd"},
        "coords_none": lambda c: {"64": None},
        "coords_bad_index": lambda c: {"64": (BadIndex(), 0, 1, 1)},
        "coords_generator": lambda c: {"64": (i for i in range(4))},
        "coords_np": lambda c: {"64": c.np.array([0, 0, 8, 8], c.np.uint64)},
        "coords_readonly_mapping": lambda c: __import__("types").MappingProxyType({}),
        "coords_list": lambda c: [],
    }


def build_targets():
    T = Target
    return [
        T("calculate_iou", ["box1", "box2"],
          lambda c, a, b: c.mu.calculate_iou(a, b),
          {"box1": (["number_box"], lambda c: [0, 0, 10, 10]), "box2": (["number_box"], lambda c: [5, 5, 15, 15.5])}),
        T("calculate_masks_intersection", ["mask1", "mask2"],
          lambda c, a, b: c.mu.calculate_masks_intersection(a, b),
          {"mask1": (["array"], lambda c: mask(c)), "mask2": (["array"], lambda c: mask(c, x0=3))}),
        T("calculate_masks_intersection_new", ["mask1", "mask2", "mask_area_1", "mask_area_2"],
          lambda c, a, b, x, y: c.mu.calculate_masks_intersection_new(a, b, x, y),
          {"mask1": (["array"], lambda c: mask(c)), "mask2": (["array"], lambda c: mask(c, x0=3)),
           "mask_area_1": ([], lambda c: 25), "mask_area_2": ([], lambda c: 15.0)}),
        T("intersection_between_masks", ["masks_dict", "processed_mask_areas"],
          lambda c, a, b: c.mu.intersection_between_masks(a, b),
          {"masks_dict": (["mask_dict", "array"], lambda c: {"Box0": mask(c), "Box1": mask(c, x0=3)}),
           "processed_mask_areas": (["area_dict"], lambda c: {"Box0": 25, "Box1": 15})}),
        T("cal_masks_iou_scores", ["masks_new", "masks_old"],
          lambda c, a, b: c.mu.cal_masks_iou_scores(a, b),
          {"masks_new": (["array"], lambda c: [mask(c), mask(c, x0=2)]),
           "masks_old": (["array"], lambda c: c.np.stack([mask(c, x0=3)]))}),
        T("cluster_masks_and_print", ["masks_dict", "eps", "min_samples"],
          lambda c, a, b, d: c.mu.cluster_masks_and_print(a, b, d),
          {"masks_dict": (["mask_dict", "array"], lambda c: {"Box0": mask(c), "Box1": mask(c, x0=3)}),
           "eps": (["cluster_number"], lambda c: 100), "min_samples": (["cluster_number"], lambda c: 1)}),
        T("compute_motion_score_in_polygon", ["video_frames", "masks_dict"],
          lambda c, a, b: c.mu.compute_motion_score_in_polygon(a, b),
          {"video_frames": (["frames", "motion_frames"], lambda c: [c.frame] * 6),
           "masks_dict": (["mask_dict", "array"], lambda c: {"Box0": mask(c, (8, 16)), "Box1": mask(c, (8, 16), x0=9)})}),
        T("evaluate_tracking", ["predicted", "ground_truth", "iou", "threshold"],
          lambda c, p, g, i, t: c.mu.evaluate_tracking(p, g, iou=i, threshold=t),
          {"predicted": (["file", "clip_records"], lambda c: track_file(c, "mots")),
           "ground_truth": (["file"], lambda c: track_file(c, "mots")),
           "iou": ([], lambda c: "mask"), "threshold": ([], lambda c: 0.5)}),
        T("read_mot", ["path"], lambda c, p: c.mu.read_mot(p), {"path": (["file"], lambda c: track_file(c, "mot"))}),
        T("read_mots", ["path"], lambda c, p: c.mu.read_mots(p), {"path": (["file"], lambda c: track_file(c, "mots"))}),
        T("write_mot", ["path", "table"], lambda c, p, t: c.mu.write_mot(p, t),
          {"path": ([], lambda c: os.path.join(c.scratch(), "out.txt")),
           "table": ([], lambda c: c.mu.read_mot(track_file(c, "mot")))}),
        T("write_mots", ["path", "table"], lambda c, p, t: c.mu.write_mots(p, t),
          {"path": ([], lambda c: os.path.join(c.scratch(), "out.txt")),
           "table": ([], lambda c: {"frame": [1, 2], "id": [1, 1], "class": [2, 2], "mask": [mask(c), mask(c, x0=2)]})}),
        T("export_tracks", ["clip", "path", "format", "tolerance", "simplify"],
          lambda c, k, p, f, t, s: c.mu.export_tracks(k, p, f, tolerance=t, simplify=s),
          {"clip": (["clip_records"], lambda c: clip_records(c)),
           "path": ([], lambda c: os.path.join(c.scratch(), "tracks.xml")),
           "format": ([], lambda c: "cvat"), "tolerance": ([], lambda c: 0.02), "simplify": ([], lambda c: 1.0)}),
        T("read_tracks", ["path", "frame_offset"], lambda c, p, o: c.mu.read_tracks(p, frame_offset=o),
          {"path": (["file"], lambda c: track_file(c, "mots")), "frame_offset": ([], lambda c: 1)}),
        T("import_tracks", ["path", "out_dir", "class_name"],
          lambda c, p, o, n: c.mu.import_tracks(p, o, class_name=n),
          {"path": (["file"], lambda c: track_file(c, "mots")),
           "out_dir": ([], lambda c: os.path.join(c.scratch(), "annotations")), "class_name": ([], lambda c: "pig")}),
        T("rle_encode", ["mask"], lambda c, m: c.mu.rle_encode(m), {"mask": (["array"], lambda c: mask(c))}),
        T("rle_decode", ["rle"], lambda c, r: c.mu.rle_decode(r),
          {"rle": ([], lambda c: {"size": [8, 8], "counts": c.mu.rle_encode(mask(c))["counts"]})}),
        T("draw_intersection_heatmap", ["intersections_df"],
          lambda c, a: _plot(c, c.mu.draw_intersection_heatmap, a),
          {"intersections_df": (["heatmap_table", "array"], lambda c: c.np.array([[0.0, 25.5], [150.0, 0.0]]))}),
        T("video_segments_mask_visual", ["video_segments", "frame_idx", "object_id"],
          lambda c, a, b, d: _plot(c, c.mu.video_segments_mask_visual, a, b, d),
          {"video_segments": (["segments"], lambda c: {0: {1: mask(c)[None]}}), "frame_idx": ([], lambda c: 0),
           "object_id": ([], lambda c: 1)}),
        T("generate_tracking_report", ["gsam_annotation_data", "save_dir_base", "intersection_thrr"],
          lambda c, a, b, d: c.mu.generate_tracking_report(a, b, d),
          {"gsam_annotation_data": (["clip_records"], lambda c: records(c)),
           "save_dir_base": (["file"], lambda c: c.scratch()), "intersection_thrr": (["cluster_number"], lambda c: 80)}),
        T("find_boxes_with_small_area_from_last_video", ["laste_frame", "min_frame_id", "area_threshold", "min_count"],
          lambda c, *a: c.mu.find_boxes_with_small_area_from_last_video(*a),
          {"laste_frame": (["clip_records"], lambda c: {f: {"mask_areas": {"Box0": 5, "Box1": 900}} for f in (9, 10, 11)}),
           "min_frame_id": (["cluster_number"], lambda c: 9), "area_threshold": (["cluster_number"], lambda c: 100),
           "min_count": (["cluster_number"], lambda c: 1)}),
        T("Mask_Refinement.process_video_segments",
          ["video_segments", "video_dir", "frame_names", "MIN_AREA_RATIO", "MAX_DISTANCE_RATIOS", "MAX_PREV_DIST",
           "prev_centroids", "custom_pen_json_path"],
          _refine,
          {"video_segments": (["segments", "refine_segments"],
                              lambda c: {0: {1: mask(c)[None], 2: mask(c, x0=3)}, 1: {1: mask(c, x1=3) | mask(c, x0=5)}}),
           "video_dir": ([], lambda c: "D:\\x\\Camera61_1_20240115\\left"), "frame_names": (["frames"], lambda c: ["a", "b"]),
           "MIN_AREA_RATIO": (["cluster_number"], lambda c: 0.3), "MAX_DISTANCE_RATIOS": (["ratios"], lambda c: [0.5, 1.5]),
           "MAX_PREV_DIST": (["cluster_number"], lambda c: 200), "prev_centroids": (["centroids"], lambda c: {2: (3.0, 3.0)}),
           "custom_pen_json_path": (["file"], lambda c: c.path("pen_ok"))}),
        T("Mask_Refinement.get_main_blob", ["mask", "prev_centroids", "object_id"],
          lambda c, a, b, d: c.mu.Mask_Refinement().get_main_blob(a, b, d),
          {"mask": (["array"], lambda c: mask(c, x1=3) | mask(c, x0=5)), "prev_centroids": (["centroids"], lambda c: {1: (6, 3)}),
           "object_id": ([], lambda c: 1)}),
        T("Mask_Refinement.get_dis_to_main_and_prev_blob",
          ["num_labels", "labels", "stats", "centroids", "max_distance_threshold", "min_area_threshold", "best_idx",
           "prev_centroids", "object_id", "frame_idx", "mask", "video_segments"],
          _kept_pieces,
          {"num_labels": (["cluster_number"], lambda c: 3),
           "labels": (["array"], lambda c: mask(c, x1=3).astype(c.np.int32) + 2 * mask(c, x0=5)),
           "stats": (["array"], lambda c: c.np.array([[0, 0, 8, 8, 39], [1, 1, 2, 5, 10], [5, 1, 1, 5, 5]], c.np.int32)),
           "centroids": (["array"], lambda c: c.np.array([[4.0, 4.0], [1.5, 3.0], [5.0, 3.0]])),
           "max_distance_threshold": (["cluster_number"], lambda c: 5.0),
           "min_area_threshold": (["cluster_number"], lambda c: 3.0), "best_idx": (["cluster_number"], lambda c: 1),
           "prev_centroids": (["centroids"], lambda c: {}), "object_id": ([], lambda c: 1), "frame_idx": ([], lambda c: 0),
           "mask": (["array"], lambda c: mask(c)), "video_segments": (["segments"], lambda c: {0: {}})}),
        T("Mask_Refinement.blob_shortest_distance", ["blob_mask1", "blob_mask2"],
          lambda c, a, b: c.mu.Mask_Refinement().blob_shortest_distance(a, b),
          {"blob_mask1": (["array"], lambda c: mask(c, x1=3)), "blob_mask2": (["array"], lambda c: mask(c, (9, 20), x0=12))}),
        T("process_gdino_results", ["gdino_results", "target_label"],
          lambda c, a, b: c.mu.process_gdino_results(a, b),
          {"gdino_results": (["detections"], lambda c: [{"scores": c.np.array([0.5, 0.7]), "labels": ["pig", "cow"],
                                                         "boxes": c.np.array([[0, 5, 1, 6], [0, 1, 2, 3.0]])}]),
           "target_label": ([], lambda c: "pig")}),
        T("get_pen_json_path", ["video_dir", "custom_pen_json_path", "PEN_JSON_ROOT"],
          _pen_root,
          {"video_dir": ([], lambda c: "D:\\x\\Camera61_1_20240115\\left"),
           "custom_pen_json_path": ([], lambda c: None),
           "PEN_JSON_ROOT": ([], lambda c: "D:\\pig_tracking")}),
        T("draw_pen", ["image_path", "json_path", "drawout"],
          lambda c, a, b, d: c.mu.draw_pen(a, b, d),
          {"image_path": (["file", "image"], lambda c: c.frame), "json_path": (["file"], lambda c: c.path("pen_ok")),
           "drawout": ([], lambda c: True)}),
        T("calculate_pen_intersection_ratio", ["polygon_points", "boxes", "ratio_threshold"],
          lambda c, a, b, d: c.mu.calculate_pen_intersection_ratio(a, b, d),
          {"polygon_points": (["points", "array"], lambda c: [(0, 0), (8, 0), (8, 8), (0, 8)]),
           "boxes": (["array"], lambda c: [[1, 1, 4, 4], [6, 6, 12, 12]]), "ratio_threshold": ([], lambda c: 40)}),
        T("get_in_pen_mask", ["frame_idx", "test_mask", "pen_json_path", "frame_names"],
          lambda c, a, b, d, e: c.mu.get_in_pen_mask(a, b, d, e),
          {"frame_idx": ([], lambda c: 0), "test_mask": (["array"], lambda c: c.np.ones((2, 8, 8), c.np.float32)),
           "pen_json_path": (["file"], lambda c: c.path("pen_ok")), "frame_names": ([], lambda c: ["a.jpg"])}),
        T("fix_polygon_scaling", ["json_path", "save_path"],
          lambda c, a, b: c.mu.fix_polygon_scaling(a, b),
          {"json_path": (["file_copy"], lambda c: c.copy_of("ann_ok")),
           "save_path": (["file_copy"], lambda c: os.path.join(c.scratch(), "out.json"))}),
        T("process_json_and_generate_masks", ["json_path", "height", "width"],
          lambda c, a, b, d: c.mu.process_json_and_generate_masks(a, b, d),
          {"json_path": (["file"], lambda c: c.path("ann_draw_ok")), "height": ([], lambda c: 8),
           "width": ([], lambda c: 16)}),
        T("retrieve_annotation", ["json_path", "save_path", "box_drawing", "object_ids"],
          lambda c, a, b, d, e: c.mu.retrieve_annotation(a, b, d, e),
          {"json_path": (["file"], lambda c: c.path("ann_draw_ok")),
           "save_path": (["file_copy"], lambda c: os.path.join(c.scratch(), "drawn.png")),
           "box_drawing": ([], lambda c: True), "object_ids": ([], lambda c: "all")}),
        T("get_gsam_annotation_data", ["video_dir", "last_or_not", "ixx", "save_dir_base"],
          lambda c, *a: c.mu.get_gsam_annotation_data(*a),
          {"video_dir": ([], lambda c: None), "last_or_not": ([], lambda c: False), "ixx": ([], lambda c: 0),
           "save_dir_base": (["file", "clip_dir"], lambda c: c.path("clip_ok"))}),
        T("open_clip", ["save_dir_base", "threads"],
          lambda c, a, b: c.mu.open_clip(a, b),
          {"save_dir_base": (["file", "clip_dir"], lambda c: c.path("clip_ok")), "threads": (["threads"], lambda c: 1)}),
        T("swap_identities", ["clip_dir", "a", "b", "from_frame", "to_frame"],
          lambda c, *a: c.mu.swap_identities(*a),
          {"clip_dir": (["file"], fresh_clip), "a": ([], lambda c: 1), "b": ([], lambda c: 2),
           "from_frame": ([], lambda c: 1), "to_frame": ([], lambda c: None)}),
        T("relabel_track", ["clip_dir", "old", "new", "from_frame", "to_frame"],
          lambda c, *a: c.mu.relabel_track(*a),
          {"clip_dir": (["file"], fresh_clip), "old": ([], lambda c: 2), "new": ([], lambda c: 7),
           "from_frame": ([], lambda c: None), "to_frame": ([], lambda c: 1)}),
        T("merge_tracks", ["clip_dir", "keep", "other", "on_conflict"],
          lambda c, a, b, d, e: c.mu.merge_tracks(a, b, d, on_conflict=e),
          {"clip_dir": (["file"], fresh_clip), "keep": ([], lambda c: 1), "other": ([], lambda c: 2),
           "on_conflict": ([], lambda c: "union")}),
        T("drop_track", ["clip_dir", "object_id", "from_frame", "to_frame", "durable"],
          lambda c, a, b, d, e, f: c.mu.drop_track(a, b, d, e, durable=f),
          {"clip_dir": (["file"], fresh_clip), "object_id": ([], lambda c: 2), "from_frame": ([], lambda c: 2),
           "to_frame": ([], lambda c: None), "durable": ([], lambda c: False)}),
        T("undo", ["clip_dir"], lambda c, a: c.mu.undo(a), {"clip_dir": (["file"], edited_clip)}),
        T("history", ["clip_dir"], lambda c, a: c.mu.history(a), {"clip_dir": (["file"], edited_clip)}),
        T("recover_clip", ["clip_dir", "abandon"], lambda c, a, b: c.mu.recover_clip(a, abandon=b),
          {"clip_dir": (["file"], edited_clip), "abandon": ([], lambda c: True)}),
        T("apply_page_advice", ["clip_dir", "intersection_thrr", "min_episode_frames"],
          lambda c, a, b, d: c.mu.apply_page_advice(a, intersection_thrr=b, min_episode_frames=d),
          {"clip_dir": (["file"], fresh_clip), "intersection_thrr": ([], lambda c: 80),
           "min_episode_frames": ([], lambda c: 2)}),
        T("Clip.to_dict", ["keys"],
          lambda c, a: c.mu.open_clip(c.path("clip_ok")).to_dict(a),
          {"keys": ([], lambda c: [2, 0])}),
        T("CompactMask.from_array", ["mask"],
          lambda c, a: c.np.asarray(c.mu.CompactMask.from_array(a)),
          {"mask": (["array"], lambda c: mask(c))}),
        T("find_best_laste_frame", ["laste_frame", "min_area", "max_attempts", "remove_stack_obs"],
          lambda c, *a: c.mu.find_best_laste_frame(*a),
          {"laste_frame": (["records"], good_records), "min_area": ([], lambda c: 10),
           "max_attempts": ([], lambda c: 2), "remove_stack_obs": (["remove_keys"], lambda c: [])}),
        T("matcher", ["laste_frame", "frame_names", "ann_frame_idx", "image_predictor", "remove_stack_box",
                      "min_area", "max_attempts", "display_func"],
          lambda c, *a: c.mu.matcher(*a),
          {"laste_frame": (["records"], good_records), "frame_names": (["frames"], lambda c: [c.frame] * 2),
           "ann_frame_idx": ([], lambda c: 1), "image_predictor": (["model"], lambda c: c.doubles("pred_ok")),
           "remove_stack_box": (["remove_keys"], lambda c: [f"Box{k}" for k in range(2, 10)]),
           "min_area": ([], lambda c: 10), "max_attempts": ([], lambda c: 2),
           "display_func": (["display"], lambda c: lambda image: None)}),
        T("draw_masks_on_image", ["image", "masks"],
          lambda c, a, b: c.mu.draw_masks_on_image(a, b),
          {"image": (["image", "array"], lambda c: c.Image.new("RGB", (8, 8))),
           "masks": (["array"], lambda c: [mask(c), mask(c, (12, 12), x0=4, x1=11)])}),
        T("img_bbx_drawing", ["image", "mask_dict"],
          _bbx,
          {"image": (["image", "array"], lambda c: c.np.zeros((8, 8, 4), c.np.uint8)),
           "mask_dict": (["mask_dict"], lambda c: {"Box0": mask(c), "Box1": mask(c, x0=3)})}),
        T("enhance_dark_text", ["image_pil", "gamma"],
          lambda c, a, b: c.mu.enhance_dark_text(a, b),
          {"image_pil": (["image", "array"], lambda c: c.Image.new("RGB", (8, 8), (10, 20, 30))),
           "gamma": ([], lambda c: 1.5)}),
        T("list_all_files", ["directory", "ext"],
          lambda c, a, b: c.mu.list_all_files(a, b),
          {"directory": (["file"], lambda c: c.path("directory")), "ext": ([], lambda c: (".jpg", ".png"))}),
        T("initializer", ["video_dir", "frame_names", "processor", "grounding_model", "device", "image_predictor",
                          "start_index", "step", "gdino_thr", "close_set_num", "custom_pen_json_path"],
          lambda c, *a: c.mu.initializer(*a),
          {"video_dir": ([], lambda c: "clip"), "frame_names": (["frames"], lambda c: [c.frame] * 3),
           "processor": (["model"], lambda c: c.doubles("proc_ok")),
           "grounding_model": (["model"], lambda c: c.doubles("model_ok")), "device": ([], lambda c: "cpu"),
           "image_predictor": (["model"], lambda c: c.doubles("pred_ok")), "start_index": ([], lambda c: 0),
           "step": ([], lambda c: 1), "gdino_thr": ([], lambda c: 0.25), "close_set_num": ([], lambda c: 2),
           "custom_pen_json_path": (["file"], lambda c: c.path("pen_ok"))}),
        T("_models.detect", ["processor", "grounding_model", "device", "image", "text", "gdino_thr"],
          lambda c, *a: c.mu._core._models.detect(*a),
          {"processor": (["model"], lambda c: c.doubles("proc_ok")),
           "grounding_model": (["model"], lambda c: c.doubles("model_ok")), "device": ([], lambda c: "cpu"),
           "image": (["image", "array"], lambda c: c.Image.new("RGB", (8, 8))), "text": ([], lambda c: "pig."),
           "gdino_thr": ([], lambda c: 0.25)}),
        T("_models.segment", ["image_predictor", "image", "boxes"],
          lambda c, *a: c.mu._core._models.segment(*a),
          {"image_predictor": (["model"], lambda c: c.doubles("pred_ok")),
           "image": (["image", "array"], lambda c: c.Image.new("RGB", (8, 8))),
           "boxes": (["array"], lambda c: c.np.array([[1, 1, 4, 4]], c.np.float32))}),
        T("_models.encode", ["image_predictor", "crop"],
          lambda c, *a: c.mu._core._models.encode(*a),
          {"image_predictor": (["model"], lambda c: c.doubles("pred_ok")),
           "crop": (["array"], lambda c: c.np.zeros((1, 3, 4, 4), c.np.float32))}),
        T("generate_sam2_image_features", ["image", "masks", "image_predictor"],
          lambda c, *a: c.mu.generate_sam2_image_features(*a),
          {"image": (["image", "array"], lambda c: c.Image.new("RGB", (8, 8), (90, 60, 30))),
           "masks": (["array"], lambda c: [mask(c), c.np.zeros((8, 8), bool), mask(c, x0=3)]),
           "image_predictor": (["model"], lambda c: c.doubles("pred_ok"))}),
        T("cal_centroid_distance", ["masks_new", "masks_old"],
          lambda c, a, b: c.mu.cal_centroid_distance(a, b),
          {"masks_new": (["array"], lambda c: [mask(c), c.np.zeros((8, 8), bool)]),
           "masks_old": (["array"], lambda c: c.np.stack([mask(c, x0=3), mask(c, y0=4)]).astype(c.np.uint8) * 255)}),
        T("cosine_scores_cal", ["image_features_new", "image_features_old"],
          lambda c, a, b: c.mu.cosine_scores_cal(a, b),
          {"image_features_new": (["features"], lambda c: [c.torch.ones(4), None]),
           "image_features_old": (["features"], lambda c: [c.np.arange(4.0), c.np.zeros(4)])}),
        T("find_continuous_frames", ["frames_df", "group_by", "n_consecutive"],
          lambda c, *a: c.mu.find_continuous_frames(*a),
          {"frames_df": (["overlap_df"], lambda c: overlap_table(c, "Box ID")),
           "group_by": ([], lambda c: "Box ID"), "n_consecutive": ([], lambda c: 2)}),
        T("process_overlap_frames", ["overlap_frames_dataframe", "gsam_annotation_data", "image_predictor",
                                     "n_consecutive"],
          lambda c, *a: c.mu.process_overlap_frames(*a),
          {"overlap_frames_dataframe": (["overlap_df"], lambda c: overlap_table(c)),
           "gsam_annotation_data": (["clip_records"], lambda c: clip_records(c)),
           "image_predictor": (["model"], lambda c: c.doubles("pred_ok")), "n_consecutive": ([], lambda c: 2)}),
        T("clip_health_report", ["clip", "out_dir", "image_predictor", "min_episode_frames"],
          lambda c, a, b, d, e: c.mu.clip_health_report(a, b, d, min_episode_frames=e),
          {"clip": (["clip_records"], lambda c: health_records(c)), "out_dir": (["file"], lambda c: c.scratch()),
           "image_predictor": (["model"], lambda c: c.doubles("pred_ok")),
           "min_episode_frames": (["cluster_number"], lambda c: 2)}),
        T("clip_health_reports_on_cluster", ["clip_dir", "out_dir", "client", "messages", "errors"],
          lambda c, a, b, client, m, e: c.mu.clip_health_reports_on_cluster([a, c.path("clip_ok")], [b, c.scratch()],
                                                                            client, messages=m, errors=e),
          {"clip_dir": (["file", "clip_dir"], lambda c: c.path("clip_bad_json")),
           "out_dir": (["file"], lambda c: c.scratch()), "client": ([], lambda c: c.cluster()),
           "messages": ([], lambda c: "summary"), "errors": ([], lambda c: "report")}),
        T("VideoMetadata.get_filtered_video_dataframe",
          ["base_dir", "sub_dirs", "filter_start", "filter_end", "sample_step", "top_n", "match_pattern",
           "camera_number"],
          _metadata_call,
          {"base_dir": (["file"], lambda c: c.files), "sub_dirs": ([], lambda c: ["directory", "missing"]),
           "filter_start": ([], lambda c: "06:00:00"), "filter_end": ([], lambda c: "17:00:00"),
           "sample_step": ([], lambda c: 1), "top_n": ([], lambda c: -1),
           "match_pattern": (["pattern"], lambda c: r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4"),
           "camera_number": ([], lambda c: None)}),
        T("VideoProcessor.get_video_duration", ["video_path"],
          lambda c, a: _processor(c, {}, "get_video_duration", a),
          {"video_path": (["file"], lambda c: c.video)}),
        T("VideoProcessor.find_orange_region", ["frame"],
          lambda c, a: _processor(c, {}, "find_orange_region", a),
          {"frame": (["array"], lambda c: c.np.zeros((8, 8, 3), c.np.uint8))}),
        T("VideoProcessor.crop_video_to_frames",
          ["resize_dim", "frame_skip", "camera_crop_coords", "crop_field", "left_crop", "video_path", "output_dir",
           "start_min", "end_min", "camera_number", "crop"],
          _crop,
          {"resize_dim": (["resize"], lambda c: (16, 12)), "frame_skip": ([], lambda c: 7),
           "camera_crop_coords": (["coords"], lambda c: {}), "crop_field": ([], lambda c: True),
           "left_crop": ([], lambda c: False), "video_path": (["file"], lambda c: c.video),
           "output_dir": ([], lambda c: os.path.join(c.scratch(), "out")), "start_min": ([], lambda c: 0),
           "end_min": ([], lambda c: 0.01), "camera_number": ([], lambda c: "64"), "crop": ([], lambda c: True)}),
        T("VideoProcessor.process_videos_to_frames",
          ["resize_dim", "frame_skip", "time_step", "output_dir_base", "camera_crop_coords", "crop", "left_crop",
           "df"],
          _run,
          {"resize_dim": (["resize"], lambda c: None), "frame_skip": ([], lambda c: 9),
           "time_step": ([], lambda c: 0.01), "output_dir_base": ([], lambda c: c.scratch()),
           "camera_crop_coords": (["coords"], lambda c: {}), "crop": ([], lambda c: False),
           "left_crop": ([], lambda c: True), "df": (["df"], lambda c: video_table(c))}),
        T("process_videos_on_cluster",
          ["resize_dim", "frame_skip", "time_step", "output_dir_base", "camera_crop_coords", "crop", "left_crop",
           "df", "client", "messages", "errors"],
          _cluster_run,
          {"resize_dim": (["resize"], lambda c: None), "frame_skip": ([], lambda c: 9),
           "time_step": ([], lambda c: 0.01), "output_dir_base": ([], lambda c: c.scratch()),
           "camera_crop_coords": (["coords"], lambda c: {}), "crop": ([], lambda c: True),
           "left_crop": ([], lambda c: False), "df": (["df"], lambda c: video_table(c)),
           "client": ([], lambda c: c.cluster()), "messages": ([], lambda c: "summary"),
           "errors": ([], lambda c: "report")}),
    ]


def _metadata_call(c, base_dir, sub_dirs, filter_start, filter_end, sample_step, top_n, match_pattern,
                   camera_number):
    return _metadata(c, base_dir=base_dir, sub_dirs=sub_dirs, filter_start=filter_start, filter_end=filter_end,
                     sample_step=sample_step, top_n=top_n, match_pattern=match_pattern, camera_number=camera_number)


def overlap_table(c, key="Box Pair", rows=((5, "Box0-Box1"), (6, "Box0-Box1"))):
    import pandas as pd

    return pd.DataFrame(list(rows), columns=["Frame ID", key])


def clip_records(c, n=8, make_mask=None, image=None, **record):
    """n frame records of c.frame (16 x 8) whose masks are two 8 x 16 squares."""
    out = {}
    for f in range(n):
        masks = {"Box0": mask(c, (8, 16), x0=1 + f % 2), "Box1": mask(c, (8, 16), x0=9, x1=14)}
        if make_mask:
            masks = make_mask(f, masks)
        out[f] = {"masks_dict": masks, "image_path": image(c) if image else c.frame, **record}
    return out


def health_records(c):
    """Four full frame records (masks, areas, tables) in which Box1's mask
    sits on Box0 in frames 1 and 2."""
    out = clip_records(c, n=4, make_mask=lambda f, m: {"Box0": m["Box0"], "Box1": m["Box0" if f in (1, 2) else "Box1"]})
    for rec in out.values():
        areas = {k: int(v.sum()) for k, v in rec["masks_dict"].items()}
        rec["mask_areas"] = areas
        rec["intersections_df"] = c.mu.intersection_between_masks(rec["masks_dict"], areas)
    return out


def overlap_df_values():
    import math

    def table(**cols):
        def make(c):
            import pandas as pd

            base = {"Frame ID": [5, 6], "Box Pair": ["Box0-Box1", "Box0-Box1"], "Box ID": ["Box0", "Box0"]}
            base.update(cols)
            return pd.DataFrame(base)
        return make

    def drop(col):
        return lambda c: overlap_table(c).drop(columns=[col])

    def dup_columns(c):
        import pandas as pd

        return pd.DataFrame([[5, "Box0-Box1", 5]], columns=["Frame ID", "Box Pair", "Frame ID"])

    def categorical(c):
        df = overlap_table(c)
        df["Box Pair"] = df["Box Pair"].astype("category")
        return df

    def many(c):
        import numpy as np
        import pandas as pd

        f = np.arange(200000)
        return pd.DataFrame({"Frame ID": f, "Box Pair": np.where(f % 7 == 0, "Box0-Box1", "Box1-Box0"),
                             "Box ID": "Box0"})

    return {
        "odf_no_frame_id": drop("Frame ID"),
        "odf_no_box_pair": drop("Box Pair"),
        "odf_empty": lambda c: overlap_table(c).iloc[:0],
        "odf_frames_float": table(**{"Frame ID": [5.0, 6.5]}),
        "odf_frames_nan": table(**{"Frame ID": [5.0, math.nan]}),
        "odf_frames_inf": table(**{"Frame ID": [math.inf, -math.inf]}),
        "odf_frames_str": table(**{"Frame ID": ["5", "6"]}),
        "odf_frames_none": table(**{"Frame ID": [None, 6]}),
        "odf_frames_huge": table(**{"Frame ID": [2**63 - 1, 2**63 - 2]}),
        "odf_frames_min": table(**{"Frame ID": [-(2**63), -(2**63) + 1]}),
        "odf_frames_uint64": lambda c: table(**{"Frame ID": c.np.array([2**64 - 1, 2**64 - 2], c.np.uint64)})(c),
        "odf_frames_bigint": table(**{"Frame ID": [10**30, 10**30 + 1]}),
        "odf_frames_negative": table(**{"Frame ID": [-3, -2]}),
        "odf_frames_bad_index": table(**{"Frame ID": [BadIndex(), BadIndex()]}),
        "odf_pairs_int": table(**{"Box Pair": [1, 1], "Box ID": [1, 1]}),
        "odf_pairs_none": table(**{"Box Pair": [None, None], "Box ID": [None, None]}),
        "odf_pairs_mixed": table(**{"Box Pair": ["Box0-Box1", 3], "Box ID": ["a", 3]}),
        "odf_pairs_bad_hash": table(**{"Box Pair": [BadHash(), BadHash()], "Box ID": [BadHash(), BadHash()]}),
        "odf_pairs_dashes": table(**{"Box Pair": ["-", "-"]}),
        "odf_pairs_many_parts": table(**{"Box Pair": ["Box0-Box1-Box9-", "Box0-Box1-Box9-"]}),
        "odf_pairs_surrogate": table(**{"Box Pair": ["Box0-\ud800", "Box0-\ud800"], "Box ID": ["\ud800"] * 2}),
        "odf_dup_columns": dup_columns,
        "odf_categorical": categorical,
        "odf_many_rows": many,
        "odf_not_a_frame": lambda c: {"Frame ID": [5, 6], "Box Pair": ["Box0-Box1"] * 2},
        "odf_series": lambda c: overlap_table(c)["Frame ID"],
    }


def opened_clip_changed(c):
    """An opened clip whose records' values were changed by the caller."""
    clip = c.mu.open_clip(c.path("clip_ok"))
    clip[0]["masks_dict"]["Box0"] = None
    clip[1]["masks_dict"]["Box9"] = c.np.ones((3, 5))
    clip[1]["mask_areas"]["Box0"] = "x"
    clip[2]["masks_dict"]["Box1"] = c.mu.CompactMask.from_array(c.np.ones((2, 2)))
    clip[2]["intersections_df"].iloc[0, 0] = float("nan")
    return clip


def clip_record_values():
    def with_masks(fn):
        return lambda c: clip_records(c, make_mask=lambda f, m: fn(c, f, m))

    return {
        "clip_empty": lambda c: {},
        "clip_list": lambda c: list(clip_records(c).values()),
        "clip_short": lambda c: clip_records(c, n=3),
        "clip_string_keys": lambda c: {str(k): v for k, v in clip_records(c).items()},
        "clip_bad_len": lambda c: BadLenDict(clip_records(c)),
        "clip_lying_len": lambda c: LyingLenDict(clip_records(c)),
        "clip_bad_getitem": lambda c: BadKeysDict(clip_records(c)),
        "clip_records_none": lambda c: {k: None for k in range(8)},
        "clip_no_masks_dict": lambda c: {k: {"image_path": c.frame} for k in range(8)},
        "clip_masks_dict_list": lambda c: {k: {"masks_dict": [1, 2], "image_path": c.frame} for k in range(8)},
        "clip_missing_box": with_masks(lambda c, f, m: {"Box0": m["Box0"]}),
        "clip_wrong_size": with_masks(lambda c, f, m: {k: c.np.ones((9, 16), bool) for k in m}),
        "clip_sizes_differ": with_masks(lambda c, f, m: {k: c.np.ones((8, 16 + f), bool) for k in m}),
        "clip_masks_3d": with_masks(lambda c, f, m: {k: c.np.ones((2, 8, 16), bool) for k in m}),
        "clip_masks_none": with_masks(lambda c, f, m: {k: None for k in m}),
        "clip_masks_nan": with_masks(lambda c, f, m: {k: c.np.full((8, 16), c.np.nan) for k in m}),
        "clip_masks_tiny": with_masks(lambda c, f, m: {k: c.np.eye(8, 16, dtype=bool) * (f % 2) for k in m}),
        "clip_masks_bcast_huge": with_masks(lambda c, f, m: {k: c.np.broadcast_to(c.np.uint8(1), (2**20, 2**20))
                                                            for k in m}),
        "clip_image_missing": lambda c: clip_records(c, image=lambda c: c.path("missing")),
        "clip_image_dir": lambda c: clip_records(c, image=lambda c: c.path("directory")),
        "clip_image_text": lambda c: clip_records(c, image=lambda c: c.path("pen_ok")),
        "clip_image_truncated": lambda c: clip_records(c, image=lambda c: c.path("truncated.png")),
        "clip_image_none": lambda c: clip_records(c, image=lambda c: None),
        "clip_image_int": lambda c: clip_records(c, image=lambda c: 5),
        "clip_image_nul": lambda c: clip_records(c, image=lambda c: c.frame + "\x00x"),
        "clip_image_1x1": lambda c: clip_records(c, image=lambda c: c.path("png_1x1")),
        "clip_image_object": lambda c: clip_records(c, image=lambda c: c.Image.new("RGB", (16, 8))),
        "clip_mapping_proxy": lambda c: __import__("types").MappingProxyType(clip_records(c)),
        "clip_opened": lambda c: c.mu.open_clip(c.path("clip_ok")),
        "clip_opened_changed": lambda c: opened_clip_changed(c),
    }


class BadLenDict(dict):
    __len__ = BadLen.__len__


class LyingLenDict(dict):
    __len__ = LyingLen.__len__


def kind_values():
    """Extra hostile values by the kind of argument."""
    files = file_values()
    return {
        "array": {**array_values()},
        "image": {**image_values()},
        "file": files,
        "file_copy": {**files, **{f"copy_{k}": (lambda k: lambda c: c.copy_of(k))(k) for k in
                                  ("ann_ok", "ann_image_null", "ann_image_int", "ann_image_list", "ann_image_missing",
                                   "ann_image_dir", "ann_image_text", "ann_no_detections", "ann_detections_dict",
                                   "ann_polygon_int", "ann_polygon_nums", "ann_polygon_odd", "ann_polygon_inf",
                                   "ann_polygon_huge", "ann_polygon_empty", "ann_polygon_unicode_space",
                                   "ann_polygon_bad_utf8", "ann_polygon_long", "ann_lone_surrogate", "ann_big_int",
                                   "deep_array", "deep_object", "big_file", "invalid_utf8", "binary")},
                      "save_into_dir": lambda c: c.path("directory"),
                      "save_into_missing_dir": lambda c: os.path.join(c.files, "no", "such", "dir", "x.json"),
                      "save_readonly": lambda c: readonly_target(c),
                      "save_name_too_long": lambda c: name_too_long(c)},
        "model": model_values(),
        "number_box": {
            "box_short": lambda c: [0, 0, 1],
            "box_nan": lambda c: [float("nan")] * 4,
            "box_inf": lambda c: [float("-inf"), float("-inf"), float("inf"), float("inf")],
            "box_int64_extreme": lambda c: [-(2**63), -(2**63), 2**63 - 1, 2**63 - 1],
            "box_huge_ints": lambda c: [-(10**30), 0, 10**30, 10**30],
            "box_mixed_huge": lambda c: [-(10**400), 0.5, 10**400, 1],
            "box_np_uint64": lambda c: c.np.array([0, 0, 2**64 - 1, 2**64 - 1], c.np.uint64),
            "box_np_int64": lambda c: c.np.array([-(2**63), 0, 2**63 - 1, 1], c.np.int64),
            "box_str": lambda c: "abcd",
            "box_dict": lambda c: {0: 1, 1: 2, 2: 3, 3: 4},
            "box_bool": lambda c: [True, False, True, True],
            "box_decimal": lambda c: [decimal.Decimal(1)] * 4,
        },
        "mask_dict": {
            "md_nonstr_keys": lambda c: {1: mask(c), None: mask(c), (1, 2): mask(c)},
            "md_bad_str_key": lambda c: {BadStr(): mask(c)},
            "md_bad_hash_key": lambda c: {"a": mask(c)} if False else {BadHashKey(): mask(c)},
            "md_surrogate_key": lambda c: {"\ud800": mask(c)},
            "md_nul_key": lambda c: {"a\x00b": mask(c)},
            "md_long_key": lambda c: {"k" * 20000: mask(c)},
            "md_emoji_key": lambda c: {"\U0001F437\u200d\U0001F525" * 5: mask(c)},
            "md_control_key": lambda c: {"\x01\x02\n\t\r": mask(c)},
            "md_mixed_shapes": lambda c: {"a": mask(c), "b": mask(c, (5, 9))},
            "md_values_none": lambda c: {"a": None},
            "md_values_list": lambda c: {"a": [[1, 0], [0, 1]]},
            "md_values_3d": lambda c: {"a": c.np.ones((2, 8, 8))},
            "md_values_negative": lambda c: {"a": -c.np.ones((8, 8), c.np.int8)},
            "md_values_nan": lambda c: {"a": c.np.full((8, 8), c.np.nan)},
            "md_values_empty": lambda c: {"a": c.np.zeros((0, 0), bool)},
            "md_values_bcast_huge": lambda c: {"a": c.np.broadcast_to(c.np.uint8(1), (2**31, 2**31))},
            "md_values_far": lambda c: {"a": far_mask(c)},
            "md_many": lambda c: {f"Box{i}": mask(c, x0=i % 7) for i in range(300)},
            "md_mapping_proxy": lambda c: __import__("types").MappingProxyType({"a": mask(c)}),
            "md_pandas_series": lambda c: __import__("pandas").Series({"a": 1}),
            "md_items_mutates": lambda c: MutatingDict({"a": mask(c), "b": mask(c)}),
        },
        "area_dict": {
            "areas_missing_key": lambda c: {"Box0": 25},
            "areas_nan": lambda c: {"Box0": float("nan"), "Box1": float("nan")},
            "areas_inf": lambda c: {"Box0": float("inf"), "Box1": float("-inf")},
            "areas_huge": lambda c: {"Box0": 10**400, "Box1": -(10**400)},
            "areas_str": lambda c: {"Box0": "25", "Box1": "15"},
            "areas_arrays": lambda c: {"Box0": c.np.ones(3), "Box1": c.np.ones(3)},
            "areas_np": lambda c: {"Box0": c.np.float16(1), "Box1": c.np.uint64(2**64 - 1)},
            "areas_bad_float": lambda c: {"Box0": BadFloat(), "Box1": BadIndex()},
            "areas_list": lambda c: [25, 15],
            "areas_series": lambda c: __import__("pandas").Series({"Box0": 25, "Box1": 15}),
        },
        "detections": {
            "det_empty_list": lambda c: [],
            "det_empty_dict": lambda c: [{}],
            "det_tensors": lambda c: [{"scores": c.torch.tensor([0.5, 0.7]), "labels": ["pig", "pig"],
                                       "boxes": c.torch.tensor([[0, 5, 1, 6], [0, 1, 2, 3.0]])}],
            "det_no_boxes": lambda c: [{"scores": [], "labels": [], "boxes": []}],
            "det_0d_score": lambda c: [{"scores": 0.5, "labels": ["pig"], "boxes": [[0, 0, 1, 1]]}],
            "det_mismatch": lambda c: [{"scores": [0.5], "labels": ["pig", "pig"], "boxes": [[0, 0, 1, 1]] * 3}],
            "det_boxes_x3": lambda c: [{"scores": [0.5], "labels": ["pig"], "boxes": [[0, 0, 1]]}],
            "det_boxes_ragged": lambda c: [{"scores": [0.5, 1], "labels": ["pig", "x"], "boxes": [[0, 0, 1, 1], [1]]}],
            "det_boxes_nan": lambda c: [{"scores": [0.5, 0.1], "labels": ["pig", "pig"],
                                         "boxes": [[float("nan")] * 4, [0, float("nan"), 1, 1]]}],
            "det_boxes_str": lambda c: [{"scores": [0.5], "labels": ["pig"], "boxes": [["a", "b", "c", "d"]]}],
            "det_labels_bytes": lambda c: [{"scores": [0.5], "labels": [b"pig"], "boxes": [[0, 0, 1, 1]]}],
            "det_labels_str": lambda c: [{"scores": [0.5], "labels": "pig", "boxes": [[0, 0, 1, 1]]}],
            "det_labels_surrogate": lambda c: [{"scores": [0.5], "labels": ["\udc80"], "boxes": [[0, 0, 1, 1]]}],
            "det_labels_array": lambda c: [{"scores": [0.5], "labels": c.np.array(["pig"]), "boxes": [[0, 0, 1, 1]]}],
            "det_text_labels_int": lambda c: [{"scores": [0.5], "text_labels": [1], "labels": ["pig"],
                                               "boxes": [[0, 0, 1, 1]]}],
            "det_text_labels_str": lambda c: [{"scores": [0.5, 0.1], "text_labels": "pi", "boxes": [[0, 0, 1, 1]] * 2}],
            "det_scores_complex": lambda c: [{"scores": [0.5j], "labels": ["pig"], "boxes": [[0, 0, 1, 1]]}],
            "det_boxes_4d": lambda c: [{"scores": [0.5], "labels": ["pig"], "boxes": c.np.zeros((1, 1, 1, 4))}],
            "det_bcast_huge": lambda c: [{"scores": c.np.broadcast_to(c.np.float32(1), (2**40,)),
                                          "labels": ["pig"], "boxes": c.np.zeros((1, 4))}],
            "det_many": lambda c: [{"scores": c.np.ones(100000), "labels": ["pig", "cow"] * 50000,
                                    "boxes": c.np.random.default_rng(0).uniform(-1e9, 1e9, (100000, 4))}],
            "det_dict_not_list": lambda c: {0: {"scores": [0.5], "labels": ["pig"], "boxes": [[0, 0, 1, 1]]}},
            "det_mapping_raises": lambda c: [BadKeysDict(a=1)],
        },
        "points": {
            "pts_two": lambda c: [(0, 0), (1, 1)],
            "pts_nan": lambda c: [(0, 0), (float("nan"), 1), (1, 1)],
            "pts_inf": lambda c: [(0, 0), (float("inf"), 1), (1, 1)],
            "pts_triples": lambda c: [(0, 0, 0), (1, 0, 0), (1, 1, 0)],
            "pts_bowtie": lambda c: [(0, 0), (8, 8), (8, 0), (0, 8)],
            "pts_huge": lambda c: [(0, 0), (10**400, 0), (0, 10**400)],
            "pts_big_float": lambda c: [(-1e308, -1e308), (1e308, -1e308), (1e308, 1e308)],
            "pts_strings": lambda c: [("0", "0"), ("1", "0"), ("1", "1")],
            "pts_str": lambda c: "abcdef",
            "pts_dicts": lambda c: [{0: 0, 1: 0}, {0: 1, 1: 1}, {0: 1, 1: 0}],
            "pts_np_nd": lambda c: c.np.zeros((3, 2, 2)),
            "pts_np_ok": lambda c: c.np.array([[0, 0], [8, 0], [8, 8]], c.np.int64),
            "pts_np_u64": lambda c: c.np.array([[0, 0], [2**64 - 1, 0], [8, 8]], c.np.uint64),
            "pts_many": lambda c: [(4 + 3 * __import__("math").cos(t / 1000), 4 + 3 * __import__("math").sin(t / 1000))
                                   for t in range(6283)],
            "pts_all_same": lambda c: [(1, 1)] * 10,
        },
        "frames": {
            "frames_missing": lambda c: [c.path("missing")] * 2,
            "frames_dir": lambda c: [c.path("directory")],
            "frames_text": lambda c: [c.path("pen_ok")],
            "frames_truncated": lambda c: [c.path("truncated.png")] * 2,
            "frames_none": lambda c: [None, None],
            "frames_ints": lambda c: [1, 2, 3],
            "frames_mixed": lambda c: [c.frame, None, c.frame],
            "frames_tiny": lambda c: [c.path("png_1x1")] * 3,
            "frames_str": lambda c: c.frame,
            "frames_lying": lambda c: LyingLen([c.frame]),
            "frames_short": lambda c: ShortLen([c.frame] * 3),
            "frames_bad_getitem": lambda c: BadGetitem([c.frame] * 3),
            "frames_pil": lambda c: [c.Image.new("RGB", (8, 8))] * 2,
            "frames_huge_list": lambda c: [c.frame] * 100000,
        },
        "pattern": {
            "pattern_bad": lambda c: "(",
            "pattern_no_groups": lambda c: r"Camera",
            "pattern_two_groups": lambda c: r"(a)(b)",
            "pattern_catastrophic": lambda c: r"(a+)+(b)(c)(d)",
            "pattern_named": lambda c: r"(?P<x>\w+)_(\d+)_(\d{8})(\d{6})",
            "pattern_lookbehind": lambda c: r"(?<=x)(a)(b)(c)",
            "pattern_nul": lambda c: "(a)\x00(b)(c)(d)",
            "pattern_surrogate": lambda c: "(\ud800)(b)(c)(d)",
            "pattern_backref_bad": lambda c: r"(a)\9(b)(c)",
            "pattern_huge_repeat": lambda c: r"(a{1000000000})(b)(c)(d)",
            "pattern_empty_groups": lambda c: r"()()()()",
            "pattern_possessive": lambda c: r"(a++)(b)(c)(d)",
            "pattern_recursion": lambda c: r"((?1)?)(b)(c)(d)",
            "pattern_unicode_class": lambda c: r"(\p{L}+)(\d)(\d{8})(\d{6})",
        },
        "resize": {
            "resize_zero": lambda c: (0, 0),
            "resize_neg": lambda c: (-5, -5),
            "resize_huge": lambda c: (10**9, 10**9),
            "resize_one": lambda c: (1,),
            "resize_float": lambda c: (16.5, 12.5),
            "resize_nan": lambda c: (float("nan"), float("nan")),
            "resize_int64_max": lambda c: (2**63 - 1, 2**63 - 1),
            "resize_bigger": lambda c: (10**6, 2**31),
            "resize_str": lambda c: "ab",
            "resize_dict": lambda c: {0: 1, 1: 2},
        },
        "coords": coords_values(),
        "df": df_values(),
        "cluster_number": {
            "eps_nan_str": lambda c: "nan",
            "num_min_int": lambda c: -(2**63),
            "num_fraction_big": lambda c: fractions.Fraction(10**400, 3),
            "num_np_float_nan": lambda c: c.np.float64("nan"),
            "num_np_int_array": lambda c: c.np.array([5]),
            "num_tensor": lambda c: c.torch.tensor(5.0) if c.torch else 5.0,
        },
        "motion_frames": {
            "mf_five": lambda c: [c.frame] * 5,
            "mf_sizes": lambda c: [c.frame] * 5 + [c.path("png_1x1")],
            "mf_tiny": lambda c: [c.path("png_1x1")] * 6,
            "mf_dir": lambda c: [c.path("directory")] * 6,
            "mf_nul": lambda c: [c.frame + "\x00x"] * 6,
            "mf_bytes_paths": lambda c: [os.fsencode(c.frame)] * 6,
            "mf_np_paths": lambda c: c.np.array([c.frame] * 6),
            "mf_dict": lambda c: {0: c.frame, 5: c.frame},
            "mf_dev_null": lambda c: [os.devnull] * 6,
            "mf_truncated": lambda c: [c.path("truncated.png")] * 6,
            "mf_pathlike_raises": lambda c: [PathBytes()] * 6,
        },
        "heatmap_table": {
            "ht_strings": lambda c: __import__("pandas").DataFrame([["a", "b"], ["c", "d"]]),
            "ht_objects": lambda c: __import__("pandas").DataFrame([[object(), 1], [None, BadFloat()]]),
            "ht_complex": lambda c: c.np.array([[1j, 0], [0, 1j]]),
            "ht_empty": lambda c: __import__("pandas").DataFrame(),
            "ht_one": lambda c: __import__("pandas").DataFrame([[100.0]]),
            "ht_nan_inf": lambda c: c.np.array([[c.np.nan, c.np.inf], [-c.np.inf, 1e308]]),
            "ht_not_square": lambda c: c.np.zeros((2, 3)),
            "ht_3d": lambda c: c.np.zeros((2, 2, 2)),
            "ht_datetimes": lambda c: __import__("pandas").DataFrame({"a": __import__("pandas").to_datetime([0, 1]),
                                                                      "b": [1.0, 2.0]}),
            "ht_series": lambda c: __import__("pandas").Series([1.0, 2.0]),
            "ht_nullable_na": lambda c: __import__("pandas").DataFrame({"a": __import__("pandas").array([1, None], "Int64"),
                                                                        "b": __import__("pandas").array([None, 2.0], "Float64")}),
            "ht_bcast_huge": lambda c: c.np.broadcast_to(c.np.float64(1), (2**31, 2**31)),
        },
        # Opened clips and the frame records (any) of the report, the small-area
        # search and the overlap analysis.
        "clip_records": {
            **clip_record_values(),
            "rec_no_areas": lambda c: {0: {"intersections_df": records(c)[0]["intersections_df"]}},
            "rec_no_table": lambda c: {0: {"mask_areas": {"Box0": 5}}},
            "rec_key_missing": lambda c: records(c, areas={"Box0": 25}),
            "rec_areas_str": lambda c: records(c, areas={"Box0": "25", "Box1": "0"}),
            "rec_areas_nan": lambda c: records(c, areas={"Box0": float("nan"), "Box1": float("-inf")}),
            "rec_areas_arrays": lambda c: records(c, areas={"Box0": c.np.ones(3), "Box1": c.np.zeros(2)}),
            "rec_areas_list": lambda c: {0: {"mask_areas": [25, 0], "intersections_df": records(c)[0]["intersections_df"]}},
            "rec_areas_huge": lambda c: records(c, areas={"Box0": 10**400, "Box1": c.np.uint64(2**64 - 1)}),
            "rec_cells_str": lambda c: records(c, cells=(("a", "b"), ("c", "d"))),
            "rec_cells_objects": lambda c: records(c, cells=((None, object()), (90, 1))),
            "rec_cells_inf": lambda c: records(c, cells=((float("inf"), float("nan")), (-float("inf"), 1e308))),
            "rec_cells_complex": lambda c: records(c, cells=((1j, 90), (0, 0))),
            "rec_cells_int": lambda c: records(c, cells=((2**63 - 1, 90), (0, -(2**63)))),
            "rec_table_array": lambda c: {0: {"mask_areas": {}, "intersections_df": c.np.full((2, 2), 90.0)}},
            "rec_table_3d": lambda c: {0: {"mask_areas": {}, "intersections_df": FakeTable(c.np.full((2, 2, 2), 90.0),
                                                                                        ["a"], ["b"])}},
            "rec_table_short_labels": lambda c: {0: {"mask_areas": {"a": 1}, "intersections_df": FakeTable(
                c.np.full((2, 2), 90.0), ["a"], ["a"])}},
            "rec_table_unhashable_labels": lambda c: {0: {"mask_areas": {"a": 1}, "intersections_df": FakeTable(
                c.np.full((1, 1), 90.0), [["a"]], [{}])}},
            "rec_table_raises": lambda c: {0: {"mask_areas": {}, "intersections_df": FakeTable(Boom("no cells"), [], [])}},
            "rec_table_bcast_huge": lambda c: {0: {"mask_areas": {}, "intersections_df": FakeTable(
                c.np.broadcast_to(c.np.float64(90), (2**31, 2**31)), [], [])}},
            "rec_labels_surrogate": lambda c: records(c, areas={"\ud800": 1, "Box1": 2}, keys=("\ud800", "Box1")),
            "rec_labels_bad_str": lambda c: records(c, areas={1: 1, 2: 2}, keys=(BadStr(), 2)),
            "rec_frame_key_bad_str": lambda c: {BadStr(): records(c)[0]},
            "rec_record_int": lambda c: {0: 5},
            "rec_record_raises": lambda c: {0: BadKeysDict(a=1)},
            "rec_proxy": lambda c: __import__("types").MappingProxyType(records(c)),
            "rec_many": lambda c: {f: records(c)[0] for f in range(3000)},
        },
        "refine_segments": {
            "rs_outside_pen": lambda c: {0: {1: mask(c, (20, 20), x0=12, x1=19)}},
            "rs_object_ids_odd": lambda c: {0: {None: mask(c), (1, 2): mask(c), BadHashKey(): mask(c)}},
            "rs_frame_key_bad_str": lambda c: {BadStr(): {1: mask(c)}},
            "rs_inner_proxy": lambda c: {0: __import__("types").MappingProxyType({1: mask(c)})},
            "rs_inner_list": lambda c: {0: [mask(c)]},
            "rs_tensor": lambda c: {0: {1: c.torch.ones((1, 8, 8)) if c.torch else mask(c)}},
            "rs_1x8x1x8": lambda c: {0: {1: c.np.ones((1, 8, 1, 8), c.np.float16)}},
            "rs_wide": lambda c: {0: {1: c.np.ones((1, 2**20), bool)}},
            "rs_readonly": lambda c: {0: {1: readonly(mask(c))}},
            "rs_many_pieces": lambda c: {0: {1: (c.np.indices((64, 64)).sum(0) % 2 == 0)}},
        },
        "ratios": {
            "ratios_empty": lambda c: [],
            "ratios_one": lambda c: [0.5],
            "ratios_str": lambda c: "ab",
            "ratios_nan": lambda c: [float("nan"), float("inf")],
            "ratios_bad": lambda c: [BadFloat(), BadIndex()],
            "ratios_array": lambda c: c.np.array([0.5, 1.5]),
        },
        "centroids": {
            "cent_str": lambda c: {1: "ab", 2: "cd"},
            "cent_short": lambda c: {1: [1], 2: ()},
            "cent_3": lambda c: {1: (1, 2, 3), 2: c.np.zeros((2, 2))},
            "cent_nan": lambda c: {1: (float("nan"), float("inf")), 2: (1e308, -1e308)},
            "cent_huge": lambda c: {1: (10**400, 0), 2: (0, 10**400)},
            "cent_none": lambda c: {1: None, 2: None},
            "cent_raises": lambda c: BadKeysDict(a=1),
            "cent_list": lambda c: [(1, 1), (2, 2)],
            "cent_proxy": lambda c: __import__("types").MappingProxyType({1: (1, 1)}),
        },
        "clip_dir": {f"clip_{k}": (lambda k: lambda c: c.path("clip_" + k))(k) for k in
                     ("ok", "bad_json", "image_missing", "image_text", "bad_name", "huge_index", "bad_detections")},
        "records": {
            "rec_empty": lambda c: {},
            "rec_list": lambda c: [good_records(c)[599]],
            "rec_no_masks_dict": lambda c: {599: {"mask_areas": {}}},
            "rec_record_none": lambda c: {599: None},
            "rec_masks_none": lambda c: {599: {"masks_dict": None}},
            "rec_masks_list": lambda c: {599: {"masks_dict": [mask(c)]}},
            "rec_mask_str": lambda c: {599: {"masks_dict": {"Box0": "x", "Box1": mask(c)}}},
            "rec_mask_shapes": lambda c: {599: {"masks_dict": {"Box0": mask(c), "Box1": mask(c, (5, 9))}}},
            "rec_mask_4d": lambda c: {599: {"masks_dict": {"Box0": c.np.ones((1, 1, 8, 16)), "Box1": mask(c)}}},
            "rec_mask_empty": lambda c: {599: {"masks_dict": {"Box0": c.np.zeros((8, 16)), "Box1": mask(c)}}},
            "rec_mask_bcast_huge": lambda c: {599: {"masks_dict": {
                "Box0": c.np.broadcast_to(c.np.uint8(1), (2**31, 2**31))}}},
            "rec_mixed_keys": lambda c: {599: good_records(c)[599], "a": good_records(c)[599]},
            "rec_bad_getitem": lambda c: BadKeysDict(a=1),
            "rec_many": lambda c: {k: {"masks_dict": {"Box0": mask(c)}} for k in range(2000)},
            "rec_masks_mutating": lambda c: {599: {"masks_dict": MutatingDict({"Box0": mask(c), "Box1": mask(c)})}},
            "rec_opened_clip": lambda c: c.mu.open_clip(c.path("clip_ok")),
            "rec_opened_clip_changed": lambda c: opened_clip_changed(c),
            "rec_opened_records": lambda c: {599: c.mu.open_clip(c.path("clip_ok"))[2], 1: {"masks_dict": {}}},
        },
        "remove_keys": {
            "rm_str": lambda c: "Box0",
            "rm_unhashable": lambda c: [["Box0"]],
            "rm_generator": lambda c: (k for k in ["Box0"]),
            "rm_bad_bool": lambda c: [BadBool()],
            "rm_lying_len": lambda c: LyingLen(["Box0"]),
            "rm_eleven": lambda c: [f"Box{k}" for k in range(11)],
        },
        "display": {
            "display_raises": lambda c: raising_display,
            "display_reenters": lambda c: lambda image: c.mu.img_bbx_drawing(image, {"Box0": mask(c)}),
            "display_not_callable": lambda c: 5,
        },
        "segments": {
            "seg_missing_frame": lambda c: {1: {1: mask(c)}},
            "seg_missing_object": lambda c: {0: {2: mask(c)}},
            "seg_mask_none": lambda c: {0: {1: None}},
            "seg_mask_1x1": lambda c: {0: {1: c.np.ones((1, 1, 1))}},
            "seg_mask_3d": lambda c: {0: {1: c.np.ones((2, 4, 4))}},
            "seg_mask_complex": lambda c: {0: {1: c.np.ones((4, 4), complex)}},
            "seg_mask_objects": lambda c: {0: {1: c.np.array([[object()]] * 2)}},
            "seg_mask_empty": lambda c: {0: {1: c.np.zeros((0, 0))}},
            "seg_mask_bcast_huge": lambda c: {0: {1: c.np.broadcast_to(c.np.uint8(1), (2**31, 2**31))}},
            "seg_list": lambda c: [{1: mask(c)}],
            "seg_bad_getitem": lambda c: BadKeysDict(a=1),
        },
        "features": {
            "feats_lengths": lambda c: [c.np.ones(3), c.np.ones(4)],
            "feats_2d": lambda c: [c.np.ones((2, 4))],
            "feats_0d": lambda c: [c.np.float64(1)],
            "feats_empty_vector": lambda c: [c.np.ones(0), c.np.ones(0)],
            "feats_strings": lambda c: [c.np.array(["a", "b", "c", "d"])],
            "feats_objects": lambda c: [c.np.array([None, 1, 2, 3], dtype=object)],
            "feats_complex": lambda c: [c.np.ones(4, complex)],
            "feats_complex_tensor": lambda c: [c.torch.ones(4, dtype=c.torch.complex64)],
            "feats_tiny": lambda c: [c.np.full(4, 1e-200), c.np.array([5e-324, 0, 0, 0])],
            "feats_nan_inf": lambda c: [c.np.array([c.np.nan, 1, 2, 3]), c.np.array([c.np.inf, 0, 0, 0])],
            "feats_huge": lambda c: [c.np.full(4, 1e308)],
            "feats_bf16": lambda c: [c.torch.ones(4, dtype=c.torch.bfloat16)],
            "feats_grad": lambda c: [c.torch.ones(4, requires_grad=True)],
            "feats_generator": lambda c: (v for v in [c.np.ones(4), None]),
            "feats_all_none": lambda c: [None, None, None],
            "feats_long": lambda c: [c.np.ones(4)] * 5000,
            "feats_wide": lambda c: [c.np.ones(2_000_000)],
            "feats_ragged_lists": lambda c: [[1.0, [2.0]], [1.0, 2.0]],
            "feats_tensor_2d": lambda c: c.torch.ones(3, 4),
            "feats_dict": lambda c: {"a": c.np.ones(4)},
        },
        "overlap_df": overlap_df_values(),
        "threads": {
            "threads_zero": lambda c: 0,
            "threads_negative": lambda c: -3,
            "threads_huge": lambda c: 2**70,
            "threads_many": lambda c: 10**6,
            "threads_float": lambda c: 2.0,
            "threads_bad_index": lambda c: BadIndex(),
        },
    }


class BadHashKey:
    def __hash__(self):
        return 1

    def __eq__(self, o):
        return self is o

    def __repr__(self):
        raise Boom("__repr__ failed")


def good_records(c):
    """Two frames of two usable masks each, in the 16 x 8 frame."""
    return {k: {"frame_index": k, "masks_dict": {"Box0": mask(c, (8, 16), 0, 1, 6, 7),
                                                  "Box1": mask(c, (8, 16), 8, 1, 15, 7)}} for k in (598, 599)}


def raising_display(image):
    raise Boom("display failed")


class MutatingDict(dict):
    """items() that changes the mapping while the caller walks it."""

    def items(self):
        for k in list(dict.keys(self)):
            self.pop(k, None)
            yield k, None


def far_mask(c):
    m = c.np.zeros((8, 5000), bool)
    m[7, 4999] = True
    return m


def readonly_target(c):
    d = c.path("ann_readonly_dir")
    os.chmod(d, 0o500)
    return os.path.join(d, "out.json")


# --------------------------------------------------------------------------
# Cases


def all_values(kinds, kv, gv):
    vals = dict(gv)
    for k in kinds:
        vals.update(kv.get(k, {}))
    return vals


# Values that ask for astronomically long but legitimate work, as the same
# request to plain Python would; such calls stay interruptible with Ctrl-C.
KNOWN_SLOW = {
    # windows of 5e-324 minutes: ~1e321 windows
    ("VideoProcessor.process_videos_to_frames", "time_step", "float_tiny"),
    # `key in range(10**18)` with a key that is not an int walks the range
    ("VideoProcessor.crop_video_to_frames", "camera_crop_coords", "range_huge"),
    ("VideoProcessor.process_videos_to_frames", "camera_crop_coords", "range_huge"),
    # removing 10**18 keys from every record; `"Box0" in range(10**18)` walks the range
    ("find_best_laste_frame", "remove_stack_obs", "range_huge"),
    ("matcher", "remove_stack_box", "range_huge"),
    ("process_videos_on_cluster", "camera_crop_coords", "range_huge"),
}


# Targets that run on the worker's in-process Dask cluster (Context.cluster).
CLUSTER_TARGETS = {"process_videos_on_cluster", "clip_health_reports_on_cluster"}


def build_cases(seed, count=None, sweep=False):
    """Cases as (target name, {argument: value name}); reproducible from the seed."""
    targets = build_targets()
    kv, gv = kind_values(), generic_values()
    cases = []
    if sweep:
        for t in targets:
            for p in t.params:
                for v in sorted(all_values(t.kinds[p][0], kv, gv)):
                    if (t.name, p, v) not in KNOWN_SLOW:
                        cases.append((t.name, {p: v}))
        return cases
    rng = random.Random(seed)
    for k in range(count):
        t = targets[k % len(targets)]  # every entry point in turn
        n = rng.choice([1, 1, 1, 2, 2, 3])
        params = rng.sample(t.params, min(n, len(t.params)))
        repl = {}
        for p in params:
            kind_pool = sorted(all_values(t.kinds[p][0], {k: kv.get(k, {}) for k in t.kinds[p][0]}, {}))
            pool = kind_pool if kind_pool and rng.random() < 0.6 else sorted(gv)
            v = rng.choice(pool)
            if (t.name, p, v) not in KNOWN_SLOW:
                repl[p] = v
        cases.append((t.name, repl))
    return cases


def run_case(c, targets, kv, gv, case):
    name, repl = case
    t = targets[name]
    args = []
    for p in t.params:
        if p in repl:
            vals = all_values(t.kinds[p][0], kv, gv)
            args.append(vals[repl[p]](c))
        else:
            args.append(t.kinds[p][1](c))
    return t.call(c, *args)


def judge(exc):
    """None when the outcome is allowed, else the reason it is not."""
    if exc is None:
        return None
    if isinstance(exc, SystemError):
        return "SystemError"
    msg = str(exc)
    if isinstance(exc, KeyError):
        msg = msg if exc.args and exc.args[0] not in (None, "") else ""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        return None  # raised by the double itself
    if not msg.strip():
        return "empty message"
    if any(t in msg for t in ("internal", "std::", "bad_cast", "nanobind", "conversion error")):
        return "unclear message"
    return None


def worker(seed, count, sweep, start, stop, root):
    import resource

    # Bound the address space so that an attempt to allocate a huge array
    # fails as MemoryError instead of exhausting the machine.
    limit = int(os.environ.get("HOSTILE_MEMORY_LIMIT", str(4 << 30)))
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    os.chdir(root)
    c = Context(root)
    targets = {t.name: t for t in build_targets()}
    kv, gv = kind_values(), generic_values()
    cases = build_cases(seed, count, sweep)
    # The cluster's threads are started before any case has used up the
    # bounded address space (a thread's stack and malloc arena need room).
    if any(cases[i][0] in CLUSTER_TARGETS for i in range(start, min(stop, len(cases)))):
        c.cluster()
    warnings.simplefilter("error")
    out = sys.__stdout__
    sink = open(os.devnull, "w")
    for i in range(start, min(stop, len(cases))):
        out.write(f"S {i}\n")
        out.flush()
        exc = None
        old_stdout = sys.stdout
        sys.stdout = sink  # the functions' progress messages
        try:
            run_case(c, targets, kv, gv, cases[i])
        except BaseException as e:  # noqa: B036 - every outcome is judged
            exc = e
        finally:
            sys.stdout = old_stdout
        reason = judge(exc)
        if reason:
            detail = f"{type(exc).__name__}: {exc!s:.300}"
            tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)[-3:])
            out.write("F " + json.dumps({"index": i, "case": cases[i], "reason": reason, "detail": detail,
                                         "traceback": tb}) + "\n")
        out.write(f"E {i}\n")
        out.flush()


def run(seed=0, count=200, sweep=False, timeout=20.0, start=0, stop=None, verbose=False, memory_limit=None):
    """Runs the cases in worker processes; returns the failures found."""
    cases = build_cases(seed, count, sweep)
    stop = len(cases) if stop is None else min(stop, len(cases))
    failures = []
    finished = 0
    i = start
    env = dict(os.environ)
    if memory_limit:
        env["HOSTILE_MEMORY_LIMIT"] = str(memory_limit)
    with tempfile.TemporaryDirectory(prefix="hostile_") as root:
        while i < stop:
            cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed), "--cases", str(count),
                   "--start", str(i), "--stop", str(stop), "--root", root] + (["--sweep"] if sweep else [])
            proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
            current, buf, hung = None, b"", False
            last = time.monotonic()
            started_ok = False
            while True:
                ready, _, _ = select.select([proc.stdout], [], [], 1.0)
                if ready:
                    chunk = os.read(proc.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    buf += chunk
                    while b"\n" in buf:
                        line, buf = buf.split(b"\n", 1)
                        tag, _, rest = line.decode().partition(" ")
                        if tag == "S":
                            current = int(rest)
                            started_ok = True
                            last = time.monotonic()
                        elif tag == "E":
                            current = None
                            i = int(rest) + 1
                            finished += 1
                        elif tag == "F":
                            failures.append(json.loads(rest))
                            if verbose:
                                print("FAIL", rest, flush=True)
                # Setting up the worker (imports, files) gets more time than a case.
                limit = timeout if started_ok else max(timeout, 120.0)
                if time.monotonic() - last > limit:
                    hung = True
                    proc.kill()
                    break
            proc.wait()
            err = proc.stderr.read().decode(errors="replace")
            proc.stdout.close()
            proc.stderr.close()
            if current is not None:
                reason = "hang" if hung else f"crash (exit code {proc.returncode})"
                failures.append({"index": current, "case": cases[current], "reason": reason,
                                 "detail": err[-2000:]})
                if verbose:
                    print("FAIL", failures[-1], flush=True)
                i = current + 1
                finished += 1
            elif proc.returncode != 0 and i < stop:
                raise RuntimeError(f"worker failed outside a case (exit code {proc.returncode}):\n{err[-4000:]}")
    if finished != stop - start:
        raise RuntimeError(f"only {finished} of {stop - start} cases ran")
    return failures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--cases", type=int, default=500)
    ap.add_argument("--sweep", action="store_true", help="every hostile value in every argument, one at a time")
    ap.add_argument("--timeout", type=float, default=20.0, help="seconds without progress that count as a hang")
    ap.add_argument("--start", type=int, default=0)
    ap.add_argument("--stop", type=int, default=None)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--root", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.worker:
        worker(a.seed, a.cases, a.sweep, a.start, a.stop if a.stop is not None else 1 << 62, a.root)
        return 0
    n = len(build_cases(a.seed, a.cases, a.sweep))
    print(f"{n} cases", flush=True)
    failures = run(a.seed, a.cases, a.sweep, a.timeout, a.start, a.stop, verbose=True)
    print(f"{len(failures)} failures of {n} cases")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
