import os

import pandas as pd
import pytest

from mirelo_utils import VideoMetadata, list_all_files

COLUMNS = ["Camera Number", "Date", "Time", "File Path", "Video Name"]


def touch(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    open(path, "wb").close()


def reference_table(md):
    """The video table built step by step with pandas, as the record describes it."""
    import re

    rows = []
    for sub in md.sub_dirs:
        folder = os.path.join(md.base_dir, sub)
        if os.path.exists(folder):
            for name in os.listdir(folder):
                if name.endswith(".mp4"):
                    m = re.match(md.match_pattern, name)
                    if m:
                        t = m.group(4)
                        path = os.path.join(folder, name)
                        rows.append([m.group(1), m.group(3), f"{t[:2]}:{t[2:4]}:{t[4:]}", path, name[:-4]])
    df = pd.DataFrame(rows, columns=COLUMNS)
    df = df[(df["Time"] > md.filter_start) & (df["Time"] < md.filter_end)]
    if md.sample_step != 0:
        df = df.iloc[:: md.sample_step]
    if md.camera_number is not None:
        df = df[df["Camera Number"] == md.camera_number]
    if md.top_n >= 1:
        df = df.head(md.top_n)
    return df


@pytest.fixture
def recordings(tmp_path):
    """Seven recordings of cameras 64 and 65 between 07:00 and 13:00 in base/sub, plus noise."""
    base = str(tmp_path / "base")
    for k in range(7):
        cam = 64 if k % 2 == 0 else 65
        touch(os.path.join(base, "sub", f"Camera{cam}_1_2024011{k}{7 + k:02d}0000.mp4"))
    touch(os.path.join(base, "sub", "notes.txt"))
    touch(os.path.join(base, "sub", "Camera64_1_20240115090000.MP4"))  # upper-case extension
    return base


def test_row_of_one_recording(tmp_path, capsys):
    base = str(tmp_path)
    touch(os.path.join(base, "sub", "Camera64_1_20240115063000.mp4"))
    df = VideoMetadata(base, ["sub"]).get_filtered_video_dataframe()
    path = os.path.join(base, "sub", "Camera64_1_20240115063000.mp4")
    assert list(df.columns) == COLUMNS
    assert df.loc[0].tolist() == ["64", "20240115", "06:30:00", path, "Camera64_1_20240115063000"]
    assert capsys.readouterr().out == f"{[path]!r}\n"


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"sample_step": 0},
        {"sample_step": 1},
        {"sample_step": 2},
        {"sample_step": -1},
        {"sample_step": -3},
        {"sample_step": 1, "top_n": 2},
        {"sample_step": 1, "top_n": 0},
        {"sample_step": 0, "camera_number": "64"},
        {"sample_step": 2, "camera_number": "65"},
        {"sample_step": 0, "camera_number": "064"},
        {"sample_step": 0, "camera_number": 64},
        {"filter_start": "08:00:00", "filter_end": "11:00:00", "sample_step": 0},
        {"sample_step": 0, "top_n": 3, "camera_number": "64"},
    ],
)
def test_filters_match_the_step_by_step_table(recordings, kwargs, capsys):
    md = VideoMetadata(recordings, ["sub", "missing"], **kwargs)
    got = md.get_filtered_video_dataframe()
    want = reference_table(md)
    pd.testing.assert_frame_equal(got, want)
    assert capsys.readouterr().out == f"{want['File Path'].tolist()!r}\n"


def test_time_bounds_are_strict(tmp_path):
    for t in ("060000", "060001", "165959", "170000"):
        touch(str(tmp_path / "s" / f"Camera1_1_20240115{t}.mp4"))
    df = VideoMetadata(str(tmp_path), ["s"], sample_step=0).get_filtered_video_dataframe()
    assert sorted(df["Time"]) == ["06:00:01", "16:59:59"]


def test_sampling_keeps_original_row_labels(tmp_path):
    for k in range(7):
        touch(str(tmp_path / "s" / f"Camera1_1_20240115{8 + k:02d}0000.mp4"))
    df = VideoMetadata(str(tmp_path), ["s"]).get_filtered_video_dataframe()
    assert list(df.index) == [0, 3, 6]


@pytest.mark.parametrize(
    "name, video_name",
    [
        ("Camera64_1_20240115063000.mp4.mp4", "Camera64_1_20240115063000.mp4"),
        ("camera64_1_20240115063000.mp4", None),
        ("Camera64_1_2024011506300.mp4", None),
        ("Camera064_12_20240115063000.mp4", "Camera064_12_20240115063000"),
    ],
)
def test_prefix_match(tmp_path, name, video_name):
    touch(str(tmp_path / "s" / name))
    df = VideoMetadata(str(tmp_path), ["s"]).get_filtered_video_dataframe()
    assert df["Video Name"].tolist() == ([video_name] if video_name else [])


def test_caller_pattern_with_python_syntax(tmp_path):
    touch(str(tmp_path / "s" / "cam_07-x-20240115_101500__tail.mp4"))
    pattern = r"cam_(?P<cam>\d+?)-(\w+?)-(?P<date>[0-9]{8})_(\d{6})(?:__\w+)?\.mp4\Z"
    df = VideoMetadata(str(tmp_path), ["s"], match_pattern=pattern).get_filtered_video_dataframe()
    assert df.iloc[0, :3].tolist() == ["07", "20240115", "10:15:00"]


@pytest.mark.parametrize(
    "pattern, name, expected",
    [(r"(?P<c>\d{,2})x(\w+?)_(\d{8})(\d+)\.mp4\Z", "12xab_20240115101500.mp4", ["12", "20240115", "10:15:00"]),
     (r"(?P<c>\d{,2})x(\w+?)_(\d{8})(\d+)\.mp4\Z", "123xab_20240115101500.mp4", None),
     (r"\u00e9(\d)(\d)(\d{8})(\d{4,6})", "\u00e912201401151015.mp4", ["1", "20140115", "10:15:"]),
     (r"(?i)camera(\d+)_(\d+)_([\d]{8})([\d]{6})", "CAMERA7_1_20240115101500.mp4", ["7", "20240115", "10:15:00"])],
)
def test_patterns_mean_what_they_mean_in_python(tmp_path, name, pattern, expected):
    touch(str(tmp_path / "s" / name))
    df = VideoMetadata(str(tmp_path), ["s"], match_pattern=pattern, filter_start="", sample_step=1,
                       ).get_filtered_video_dataframe()
    assert (df.iloc[0, :3].tolist() if len(df) else None) == expected


def test_group_that_took_no_part(tmp_path):
    touch(str(tmp_path / "s" / "bcd.mp4"))
    with pytest.raises(ValueError, match=r"group 1 of match_pattern '\(a\)\?\(b\)\(c\)\(d\)' took no part "
                                         r"in the match of 'bcd.mp4'"):
        VideoMetadata(str(tmp_path), ["s"], match_pattern="(a)?(b)(c)(d)").get_filtered_video_dataframe()


@pytest.mark.parametrize(
    "pattern, message",
    [(r"Camera(\d+)_(\d+)\.mp4", r"groups 1 \(camera number\), 3 \(date\) and 4 \(time\), got 2 groups"),
     (r"Camera(\d+", r"invalid match_pattern 'Camera\(\\\\d\+': missing \), unterminated subpattern at position 6")],
)
def test_bad_patterns(tmp_path, pattern, message):
    with pytest.raises(ValueError, match=message):
        VideoMetadata(str(tmp_path), [], match_pattern=pattern).get_filtered_video_dataframe()


def test_empty_result_and_missing_folders(tmp_path, capsys):
    df = VideoMetadata(str(tmp_path), ["nope"]).get_filtered_video_dataframe()
    assert list(df.columns) == COLUMNS and len(df) == 0
    pd.testing.assert_frame_equal(df, pd.DataFrame([], columns=COLUMNS))
    assert capsys.readouterr().out == "[]\n"


def test_sub_folder_that_is_a_file(tmp_path):
    touch(str(tmp_path / "afile"))
    with pytest.raises(OSError, match="Not a directory.*afile"):
        VideoMetadata(str(tmp_path), ["afile"]).get_filtered_video_dataframe()


def test_printed_paths_use_python_quoting(tmp_path, capsys):
    touch(str(tmp_path / "it's" / "Camera1_1_20240115080000.mp4"))
    df = VideoMetadata(str(tmp_path), ["it's"], sample_step=0).get_filtered_video_dataframe()
    assert capsys.readouterr().out == repr(df["File Path"].tolist()) + "\n"
    assert '"' in repr(df["File Path"].tolist())


@pytest.mark.parametrize(
    "field, value, error",
    [("filter_start", 6, TypeError), ("sample_step", 1.5, TypeError), ("top_n", "2", TypeError),
     ("sub_dirs", [3], TypeError)],
)
def test_bad_field_types(tmp_path, field, value, error):
    md = VideoMetadata(str(tmp_path), ["s"])
    setattr(md, field, value)
    with pytest.raises(error, match=field if field != "sub_dirs" else "sub_dirs"):
        md.get_filtered_video_dataframe()


@pytest.mark.parametrize("field", ["base_dir", "filter_start", "match_pattern", "camera_number"])
def test_texts_without_utf8_form(tmp_path, field):
    md = VideoMetadata(str(tmp_path), ["s"])
    setattr(md, field, "\ud800")
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        md.get_filtered_video_dataframe()


def test_list_all_files(tmp_path):
    d = tmp_path / "d"
    for rel in ("b.jpg", "a.jpg", "z/c.jpg", "m/d.txt", "m/e.jpg", "m/B.jpg"):
        touch(str(d / rel))
    os.symlink(str(d / "z"), str(d / "link"))
    root = str(d)
    assert list_all_files(root, ".jpg") == [os.path.join(root, p) for p in
                                            ("a.jpg", "b.jpg", "m/B.jpg", "m/e.jpg", "z/c.jpg")]
    assert list_all_files(root + "/", ext=(".txt", ".JPG")) == [root + "/m/d.txt"]
    assert list_all_files(root, ()) == []
    assert len(list_all_files(root)) == 6
    assert list_all_files(str(tmp_path / "missing")) == []
    assert list_all_files(str(d / "a.jpg")) == []
    with pytest.raises(TypeError, match="ext"):
        list_all_files(root, 3)
