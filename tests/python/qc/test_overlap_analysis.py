"""Runs of consecutive overlap frames and the overlap-episode analysis, on
hand-built overlap tables and frame records, with a predictor double."""
from collections.abc import Mapping

import numpy as np
import pandas as pd
import pytest
import torch
from PIL import Image

import mirelo_utils as mu

H, W = 30, 60


# ------------------------------------------------------------ find_continuous_frames

@pytest.mark.parametrize("frames, n, expected", [
    ([3, 4, 5, 7, 8], 3, [[3, 4, 5]]),
    ([8, 7, 5, 3, 4], 2, [[3, 4, 5], [7, 8]]),
    ([5, 5, 6], 1, [[5], [5, 6]]),
    ([5, 5, 6], 2, [[5, 6]]),
    ([1, 3, 5], 2, None),
    ([2.0, 3.0, 4.0], 3, [[2, 3, 4]]),
])
def test_runs_of_one_key(frames, n, expected):
    df = pd.DataFrame({"Frame ID": frames, "Box ID": ["Box1"] * len(frames)})
    out = mu.find_continuous_frames(df, n_consecutive=n)
    assert out == ({} if expected is None else {"Box1": expected})
    if expected:
        assert all(type(v) is int for run in out["Box1"] for v in run)


def test_keys_in_ascending_order_and_absent_keys_left_out():
    df = pd.DataFrame({"Frame ID": [1, 2, 1, 2, 1, 2, 1, 2],
                       "Pair": ["b", "b", "a", "a", None, None, "Box10", "Box10"]})
    out = mu.find_continuous_frames(df, group_by="Pair", n_consecutive=2)
    assert list(out) == ["Box10", "a", "b"]
    numbers = pd.DataFrame({"Frame ID": [4, 5, 4, 5], "k": [10, 10, 2, 2]})
    assert list(mu.find_continuous_frames(numbers, "k", 2)) == [2, 10]


@pytest.mark.parametrize("df, exc, match", [
    (pd.DataFrame({"Box ID": ["a"]}), KeyError, "Frame ID"),
    (pd.DataFrame({"Frame ID": [1]}), KeyError, "Box ID"),
    (pd.DataFrame({"Frame ID": [1.5], "Box ID": ["a"]}), ValueError, "whole number"),
    (pd.DataFrame({"Frame ID": [np.nan], "Box ID": ["a"]}), ValueError, "whole number"),
    (pd.DataFrame({"Frame ID": ["3"], "Box ID": ["a"]}), TypeError, "number"),
    ({"Frame ID": [1], "Box ID": ["a"]}, TypeError, "DataFrame"),
])
def test_runs_bad_tables(df, exc, match):
    with pytest.raises(exc, match=match):
        mu.find_continuous_frames(df)


# ------------------------------------------------------------ process_overlap_frames

class Records(Mapping):
    """Frame records that may only be read by key (and counted)."""

    def __init__(self, records):
        self._records = records

    def __getitem__(self, k):
        return self._records[k]

    def __len__(self):
        return len(self._records)

    def __iter__(self):
        raise AssertionError("frame records are read by key only")


class Encoder:
    device = torch.device("cpu")

    def __init__(self):
        self.calls = 0

    def image_encoder(self, x):
        self.calls += 1
        assert x.shape == (1, 3, 256, 256) and not torch.is_grad_enabled()
        return {"vision_features": torch.ones(1, 8, 2, 2)}  # one look for every animal


class Predictor:
    def __init__(self):
        self.model = Encoder()
        self.images = 0

    def set_image(self, image):
        self.images += 1


def box_mask(x0, w=10, y0=10, h=10):
    m = np.zeros((H, W), np.uint8)
    m[y0:y0 + h, x0:x0 + w] = 1
    return m


@pytest.fixture
def clip(tmp_path, monkeypatch):
    """clip(n, place) builds n frame records; place(key, frame) is the x of
    the key's 10 x 10 mask, or a mask itself. Returns the records; the image
    files opened are counted in `opened`."""
    image = tmp_path / "frame.png"
    Image.new("RGB", (W, H), (120, 90, 60)).save(image)
    opened = []
    real_open = Image.open

    def counting_open(fp, *a, **kw):
        opened.append(fp)
        return real_open(fp, *a, **kw)

    monkeypatch.setattr(Image, "open", counting_open)

    def make(n, place, keys=("Box0", "Box1")):
        records = {}
        for f in range(n):
            masks = {}
            for k in keys:
                p = place(k, f)
                masks[k] = box_mask(p) if isinstance(p, int) else p
            records[f] = Records({"masks_dict": Records(masks), "image_path": str(image)})
        return Records(records)

    make.opened = opened
    return make


def table(rows):
    return pd.DataFrame(rows, columns=["Frame ID", "Box Pair"])


def lines(*pairs, result):
    out = [f"Box pairs with overlap episodes: {', '.join(p[0] for p in pairs)}"]
    for pair, single, multiple, reverse in pairs:
        out += [f"Box Pair: {pair}", f"First frame with a single boxpair: {single}",
                f"First frame with multiple boxpairs: {multiple}", f"reverse_track: {reverse}"]
    return "\n".join(out + [f"Most frequent box with errors: {result}"]) + "\n"


def test_single_pair_window_before_the_episode(clip, capsys):
    records = clip(20, lambda k, f: 2 if k == "Box0" else 15 + 5 * (f % 2))  # Box1 jitters
    pred = Predictor()
    out = mu.process_overlap_frames(table([(10, "Box0-Box1"), (11, "Box0-Box1"), (12, "Box0-Box1")]), records, pred)
    assert out == (10, "Box1", {"Box0-Box1": [[10, 11, 12]]}, ["Box1"] * 5)
    assert capsys.readouterr().out == lines(("Box0-Box1", 10, "nan", False), result="Box1")
    assert len(clip.opened) == 6  # frames 5 to 10, each read once
    assert pred.images == 10 and pred.model.calls == 20  # per comparison: both frames, both boxes


def test_several_pairs_need_longer_runs_and_multiple_pair_frames(clip, capsys):
    rows = ([(f, "Box0-Box1") for f in range(10, 14)] + [(f, "Box2-Box3") for f in range(12, 16)]
            + [(f, "Box1-Box0") for f in range(20, 23)])  # three frames: too short with several pairs
    records = clip(30, lambda k, f: {"Box0": 0, "Box1": 12, "Box2": 25, "Box3": 40 + (f == 8)}[k],
                   keys=("Box0", "Box1", "Box2", "Box3"))
    test_frame, box, con, worst = mu.process_overlap_frames(table(rows), records, Predictor())
    assert con == {"Box0-Box1": [[10, 11, 12, 13]], "Box2-Box3": [[12, 13, 14, 15]]}
    assert test_frame == 10
    assert worst == ["Box0", "Box0", "Box3", "Box3", "Box0"]  # frame 8 moves Box3; ties pick the first key
    assert box == "Box0"
    assert capsys.readouterr().out == lines(("Box0-Box1", 10, 12, False), ("Box2-Box3", 14, 12, False),
                                            result="Box0")


def test_both_orders_of_a_pair_are_two_pairs(clip, capsys):
    rows = [(f, p) for f in range(4, 8) for p in ("Box0-Box1", "Box1-Box0")]
    records = clip(12, lambda k, f: 3 if k == "Box0" else 20 + (f == 1))
    test_frame, box, con, worst = mu.process_overlap_frames(table(rows), records, Predictor())
    assert list(con) == ["Box0-Box1", "Box1-Box0"] and test_frame == 4
    assert "First frame with a single boxpair: nan\nFirst frame with multiple boxpairs: 4" in capsys.readouterr().out
    assert worst == ["Box1", "Box1", "Box0", "Box0"]  # window -1..3: frame -1 skipped
    assert box == "Box1"


def test_episode_from_frame_zero_puts_the_window_after_it(clip, capsys):
    records = clip(10, lambda k, f: 2 if k == "Box0" else 20 + 3 * (f == 5))
    rows = [(0, "Box0-Box1"), (1, "Box0-Box1"), (2, "Box0-Box1")]
    test_frame, box, _, worst = mu.process_overlap_frames(table(rows), records, Predictor())
    # Frame pairs (2, 1) ... (6, 5): Box1 moves into frame 5 and back out of it.
    assert test_frame == 2 and worst == ["Box0", "Box0", "Box0", "Box1", "Box1"] and box == "Box0"
    assert capsys.readouterr().out == lines(("Box0-Box1", 2, "nan", True), result="Box0")
    assert len(clip.opened) == 6


def test_keys_compare_as_text_and_ties_go_to_the_first(clip):
    records = clip(12, lambda k, f: 5 if k == "Box2" else 30, keys=("Box2", "Box10"))
    _, box, _, worst = mu.process_overlap_frames(table([(8, "Box2-Box10"), (9, "Box2-Box10")]), records, Predictor())
    assert worst == ["Box10"] * 5 and box == "Box10"


def test_missing_appearance_vector_is_the_worst_mismatch(clip):
    tiny = np.zeros((H, W), np.uint8)
    tiny[12, 12:16] = 1  # four pixels: no vector
    records = clip(12, lambda k, f: tiny if (k == "Box0" and f == 6) else (2 if k == "Box0" else 20 + 9 * (f % 2)))
    _, box, _, worst = mu.process_overlap_frames(table([(8, "Box0-Box1"), (9, "Box0-Box1")]), records, Predictor())
    assert worst == ["Box1", "Box1", "Box0", "Box0", "Box1"] and box == "Box1"


def test_window_partly_before_the_clip(clip):
    records = clip(10, lambda k, f: 2 if k == "Box0" else 20 + 5 * (f % 2))
    _, _, _, worst = mu.process_overlap_frames(table([(3, "Box0-Box1"), (4, "Box0-Box1")]), records, Predictor())
    assert len(worst) == 3 and len(clip.opened) == 4  # frames -2, -1 skipped; 0 to 3 read


@pytest.mark.parametrize("rows, n_frames, exc, match", [
    ([], 10, ValueError, "no overlap episode"),
    ([(3, "Box0-Box1")], 10, ValueError, "no overlap episode"),
    ([(20, "Box0-Box1"), (21, "Box0-Box1")], 10, ValueError, "outside the clip's 10 frames"),
    ([(5, "Box0-Box7"), (6, "Box0-Box7")], 10, KeyError, 'no mask "Box7"'),
    ([(5, 7), (6, 7)], 10, TypeError, "Box Pair"),
])
def test_failures_say_why(clip, rows, n_frames, exc, match):
    records = clip(n_frames, lambda k, f: 5 if k == "Box0" else 30)
    with pytest.raises(exc, match=match):
        mu.process_overlap_frames(table(rows), records, Predictor())


@pytest.mark.parametrize("df, exc, match", [
    (pd.DataFrame({"Frame ID": [1, 2]}), KeyError, "Box Pair"),
    (pd.DataFrame({"Box Pair": ["Box0-Box1"] * 2}), KeyError, "Frame ID"),
    (pd.DataFrame({"Frame ID": [1, 2.5], "Box Pair": ["Box0-Box1"] * 2}), ValueError, "whole number"),
    ([(1, "Box0-Box1")], TypeError, "DataFrame"),
])
def test_bad_tables(clip, df, exc, match):
    with pytest.raises(exc, match=match):
        mu.process_overlap_frames(df, clip(5, lambda k, f: 5), Predictor())


def test_masks_of_another_size_than_the_image(clip):
    records = clip(10, lambda k, f: np.ones((H + 1, W), bool))
    with pytest.raises(ValueError, match="image's size"):
        mu.process_overlap_frames(table([(7, "Box0-Box1"), (8, "Box0-Box1")]), records, Predictor())
