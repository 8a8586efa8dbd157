"""The ingest records take their fields by position in the documented order,
by name, or from their defaults."""
import pytest

from mirelo_utils import VideoMetadata, VideoProcessor

RECORDS = [
    (VideoMetadata,
     [("base_dir", "b"), ("sub_dirs", ["s"]), ("filter_start", "07:00:00"), ("filter_end", "16:00:00"),
      ("sample_step", 1), ("top_n", 2), ("match_pattern", r"(a)(b)(c)(d)"), ("camera_number", "64")],
     {"filter_start": "06:00:00", "filter_end": "17:00:00", "sample_step": 3, "top_n": -1,
      "match_pattern": r"Camera(\d+)_(\d+)_([\d]{8})([\d]{6})\.mp4", "camera_number": None}),
    (VideoProcessor,
     [("resize_dim", (640, 480)), ("frame_skip", 2), ("time_step", 0.5), ("output_dir_base", "out"),
      ("camera_crop_coords", {"1": (0, 0, 1, 1)}), ("crop", False), ("left_crop", True)],
     {"resize_dim": None, "frame_skip": 1, "time_step": 0.1, "output_dir_base": "D:\\ToBeLabeled_20pigs/",
      "camera_crop_coords": {}, "crop": True, "left_crop": False}),
]


@pytest.mark.parametrize("cls, fields, defaults", RECORDS, ids=lambda v: getattr(v, "__name__", ""))
def test_fields_by_position_by_name_and_defaults(cls, fields, defaults):
    values = [v for _, v in fields]
    by_position = cls(*values)
    assert [(k, getattr(by_position, k)) for k, _ in fields] == fields
    assert cls(**dict(fields)) == by_position
    required = values[: len(fields) - len(defaults)]
    assert {k: getattr(cls(*required), k) for k in defaults} == defaults
    with pytest.raises(TypeError):
        cls(*values, None)
    if required:
        with pytest.raises(TypeError):
            cls(*required[:-1])


def test_each_processor_has_its_own_crop_window_cache():
    a, b = VideoProcessor(), VideoProcessor()
    a.camera_crop_coords["64"] = (0, 0, 1, 1)
    assert b.camera_crop_coords == {}
