"""Fuzz targets: one row per parser or file reader of mirelo_utils.

Each target turns one input (bytes) into a file, a file name or a text and
hands it to the public calls that read it. A target is a `Target` row in
TARGETS: its seed inputs, the calls, and tokens that its mutations insert
(the words and numbers of its format). fuzz.py runs the rows: a fixed-seed
sample in CI, or a long coverage-guided run on demand.
"""
from __future__ import annotations

import json
import os
import shutil
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Target:
    name: str
    seeds: Callable[["Context"], list[bytes]]
    run: Callable[["Context", bytes], object]
    tokens: list[bytes] = field(default_factory=list)
    max_size: int = 1 << 16
    structured: bool = True  # a text format (JSON): mostly syntax-keeping mutations
    sample_size: int = 400  # inputs of the CI sample: a few seconds


class Context:
    """Modules and files a target needs, prepared once per process in `root`."""

    def __init__(self, root):
        import numpy as np

        import mirelo_utils as mu

        self.np, self.mu, self.root = np, mu, root
        self.input_path = os.path.join(root, "input")
        self.out_dir = os.path.join(root, "out")
        self.image = os.path.join(root, "frame.png")
        from PIL import Image

        Image.new("RGB", (64, 40), (40, 50, 60)).save(self.image)
        self.mask = np.ones((40, 64), bool)
        self._videos = None

    def write_input(self, data, name="input"):
        path = os.path.join(self.root, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def fresh_dir(self, name):
        path = os.path.join(self.root, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def videos(self):
        """Small recordings of the kinds the cameras write, made once."""
        if self._videos is None:
            self._videos = make_videos(self)
        return self._videos


# --------------------------------------------------------------------------
# Pen polygon files


def pen_seeds(c):
    def doc(points, **extra):
        return json.dumps({"shapes": [{"label": "pen", "points": points, **extra}]}).encode()

    return [
        doc([[0, 0], [63, 0], [63, 39], [0, 39]]),
        doc([[10.5, 3.25], [50, 8], [60, 35.75], [5, 30]]),
        doc([[-20, -10], [90, 5], [30, 70]]),
        doc([[32, 20]]),
        doc([[0, 0], [1e6, 1e6], [-1e6, 1e6], [-2147483648, 0]]),
        json.dumps({"version": "5.0", "shapes": [{"points": [[1, 2], [30, 2], [30, 20]], "shape_type": "polygon"},
                                                 {"points": [[0, 0], [5, 5], [0, 5]]}]}, indent=2).encode(),
        b'{"shapes": []}',
        b'{"shapes": [{"points": [[1, 1], [2, 2], [3, 3]]}], "imagePath": "f.png"}',
    ]


def run_pen_file(c, data):
    path = c.write_input(data, "pen.json")
    mu = c.mu
    points = mu.draw_pen(c.image, path)
    if len(points) >= 3:
        mu.calculate_pen_intersection_ratio(points, [[0, 0, 10, 10], [20, 5, 60, 39]], 40)
    mu.get_in_pen_mask(0, c.mask, path, ["f.png"])


PEN_TOKENS = [b'"shapes"', b'"points"', b'"label"', b"[", b"]", b"{", b"}", b",", b":", b"null", b"true",
              b"[[0, 0], [1, 1], [2, 0]]", b'"x"']

# --------------------------------------------------------------------------
# Annotation files (repair of their polygon normalisation)


def annotation_seeds(c):
    def doc(polygons, image=None, **extra):
        return json.dumps({"image_path": image or c.image,
                           "detections": [{"class_name": "pig", "track_id": k + 1, "formatted_polygon": p}
                                          for k, p in enumerate(polygons)], **extra}, indent=4).encode()

    return [
        doc(["0 0.1 0.2 0.3 0.2 0.3 0.4"]),
        doc(["0 0.5 0.5", "1 0.25 0.75 0.5 0.5 0.125 0.25"]),
        doc([]),
        doc(["0 1e-7 0.999999 2 -3"], frame_id=7),
        doc(["2 0.1 0.1 0.2 0.2"], image=os.path.join(c.root, "missing.png")),
    ]


def run_annotation_repair(c, data):
    path = c.write_input(data, "ann.json")
    c.mu.fix_polygon_scaling(path, os.path.join(c.root, "ann_fixed.json"))


ANNOTATION_TOKENS = [b'"image_path"', b'"detections"', b'"formatted_polygon"', b'"track_id"', b'"class_name"',
                     b'"0 0.5 0.5"', b"\\ud800", b"\\u0000", b'"\\udc80"', b"1e400", b"NaN", b"-0"]

# --------------------------------------------------------------------------
# Annotation files of a tracked clip: rasterised, loaded, drawn


def clip_seeds(c):
    def doc(detections, image=None):
        return json.dumps({"image_path": image or c.image, "detections": detections}).encode()

    def det(object_id, *polygons):
        return {"object_id": object_id, "class_name": "pig", "xyxy": [[5, 4, 30.5, 20]] * len(polygons),
                "formatted_polygon": list(polygons)}

    return [
        doc([det(1, "0 0.1 0.1 0.4 0.1 0.4 0.5 0.1 0.5"), det(3, "0 0.3 0.3 0.9 0.3 0.6 0.95", "0 0.8 0.8 0.9 0.8 0.9 0.9")]),
        doc([det(2, "0 0.5 0.5 0.5 0.5 0.5 0.5"), det(2, "0 -1 -1 2 -1 2 2 -1 2")]),
        doc([]),
        doc([det(7, "0 0.25 0.25 0.75 0.25 0.5 0.75")], image=os.path.join(c.root, "missing.png")),
        doc([det(1, "0 1e-3 0.999 0.999 1e-3 0.5 0.5 0.2 0.9 0.9 0.2")]),
    ]


def run_clip_annotations(c, data):
    folder = c.fresh_dir("clip")
    path = os.path.join(folder, "output_pp_3.json")
    with open(path, "wb") as f:
        f.write(data)
    mu = c.mu
    mu.process_json_and_generate_masks(path, 40, 64)
    same_clip(c, folder)
    mu.retrieve_annotation(path, box_drawing=len(data) % 2 == 0)


def same_clip(c, folder):
    """The clip folder loaded densely and opened compactly: the same error,
    or the same records."""
    mu, np = c.mu, c.np
    try:
        _, dense = mu.get_gsam_annotation_data(None, save_dir_base=folder)
    except Exception as e:
        try:
            mu.open_clip(folder)
        except Exception as f:  # noqa: BLE001 - compared with the dense load's
            if type(f) is not type(e) or str(f) != str(e):
                raise Mismatch(f"open_clip raised {type(f).__name__}: {f}, the dense load {type(e).__name__}: {e}")
            raise
        raise Mismatch(f"the dense load raised {type(e).__name__}: {e}, open_clip did not") from None
    clip = mu.open_clip(folder)
    if (dense is None) != (clip is None) or (dense is not None and list(dense) != list(clip)):
        raise Mismatch("open_clip found other files than the dense load")
    for k in dense or {}:
        want, got = dense[k], clip[k]
        if list(want["masks_dict"]) != list(got["masks_dict"]) or want["mask_areas"] != got["mask_areas"] or \
                want["image_path"] != got["image_path"] or want["frame_index"] != got["frame_index"]:
            raise Mismatch(f"record {k}: keys, areas, image path or frame index differ")
        if any(not np.array_equal(m, got["masks_dict"][key]) for key, m in want["masks_dict"].items()):
            raise Mismatch(f"record {k}: masks differ")
        a, b = want["intersections_df"], got["intersections_df"]
        if list(a.index) != list(b.index) or not np.array_equal(a.to_numpy(), b.to_numpy(), equal_nan=True):
            raise Mismatch(f"record {k}: intersection tables differ")


CLIP_TOKENS = [b'"image_path"', b'"detections"', b'"formatted_polygon"', b'"object_id"', b'"xyxy"', b'"0 0.5 0.5 0.6 0.5 0.6 0.6"',
               b" 0.5", b" -0.5", b" 1e9", b" nan", b"-2147483648", b"[]", b"null", b"\\ud800"]

# --------------------------------------------------------------------------
# Recording names (the catalogue's file-name pattern) and clip folders


def name_seeds(c):
    return [
        b"Camera64_1_20240115083000.mp4",
        b"Camera61_2_20231231235959.mp4\nCamera61_2_20231231060001.mp4",
        b"Camera7_12_20240229120000.mp4 copy.mp4",
        b"camera64_1_20240115083000.MP4",
        b"Camera64_1_2024011508300.mp4\nCamera\xd9\xa4_1_20240115083000.mp4",
        b"Camera64_1_20240115083000.mp4.part",
    ]


def run_recording_names(c, data):
    base = c.fresh_dir("recordings")
    folder = os.path.join(base, "cam")
    os.makedirs(folder)
    for raw in data.split(b"\n")[:4]:
        name = raw.replace(b"/", b"_").replace(b"\x00", b"_")[:250]
        if name in (b"", b".", b".."):
            continue
        try:
            open(os.path.join(os.fsencode(folder), name), "wb").close()
        except OSError:
            continue  # a name this file system refuses
    md = c.mu.VideoMetadata(base, ["cam"], sample_step=1)
    if len(data) % 2:
        md.camera_number = "64"
        md.filter_start, md.filter_end = "00:00:00", "23:59:59"
    md.get_filtered_video_dataframe()
    c.mu.PEN_JSON_ROOT = c.root
    c.mu.get_pen_json_path(os.path.join(os.fsdecode(data[:200].replace(b"\x00", b"_")), "clip"))


NAME_TOKENS = [b"Camera", b"_", b".mp4", b"20240115", b"083000", b"99999999999999", b"\xff", b"\xed\xa0\x80",
               b"\xd9\xa4", b"\\", b"Camera61_", b"\n"]

# --------------------------------------------------------------------------
# MP4 recordings


def make_videos(c):
    import cv2

    np = c.np
    out = []
    for k, (w, h, frames) in enumerate([(32, 24, 12), (48, 32, 4)]):
        path = os.path.join(c.root, f"seed{k}.mp4")
        wr = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), 25.0, (w, h))
        for i in range(frames):
            f = np.full((h, w, 3), 90, np.uint8)
            f[2:h - 4, w - 8:w - 4] = (0, 128, 255)  # the orange marker
            f[0, i % w] = 255
            wr.write(f)
        wr.release()
        with open(path, "rb") as f:
            out.append(f.read())
    return out


def run_recording(c, data):
    path = c.write_input(data, "video.mp4")
    out = c.fresh_dir("frames")
    vp = c.mu.VideoProcessor(output_dir_base=out, resize_dim=(16, 12) if len(data) % 3 == 0 else None)
    vp.get_video_duration(path)
    vp.crop_video_to_frames(path, out, 0, 0.01, camera_number="64", crop=len(data) % 2 == 0)


MP4_TOKENS = [b"ftyp", b"moov", b"mvhd", b"trak", b"tkhd", b"mdia", b"mdhd", b"minf", b"stbl", b"stsd", b"stts",
              b"stsz", b"stco", b"co64", b"stss", b"mdat", b"mp4v", b"avc1", b"elst", b"\x00\x00\x00\x00",
              b"\xff\xff\xff\xff", b"\x7f\xff\xff\xff"]


# --------------------------------------------------------------------------
# The tracking report: frame records in, CSV out, read back by pandas


class Mismatch(Exception):
    """A result that differs from what it must equal: a written file that does
    not read back as what was written, or a clip opened compactly that is not
    its dense load."""


def report_seeds(c):
    return [
        b"0;1;599\nBox0;Box1;Box2\n0;95.5;10;80;0;3;1;0;0\n1200;0;3400\n50",
        b"7\nBox0;Box1\n0;100;100;0\n0;5\n99.9",
        b'frame "a",b;12\nBox,0;Box\n1;0\n0;60;60;0\n60',
        b"1\nBox\xc3\xa90;Box\n\n0;0;0;0\n0;0\n-1",
        b"3\nBox0;Box1;Box0\n1e308;nan;-0;inf;2;3;4;5;6\n0;1;2\n1",
    ]


def number(text, default):
    try:
        v = float(text)
    except ValueError:
        return default
    return int(v) if v.is_integer() and abs(v) < 2**53 else v


def run_report(c, data):
    import pandas as pd

    lines = (data.decode("utf-8", "surrogateescape").split("\n") + [""] * 5)[:5]
    frames = [int(k) if k.isdigit() and len(k) < 10 else k for k in lines[0].split(";")[:4]]
    boxes = lines[1].split(";")[:4]
    values = [number(v, 0) for v in lines[2].split(";") if v] or [0]
    areas = [number(v, 1) for v in lines[3].split(";") if v] or [1]
    threshold = number(lines[4], 50)
    n = len(boxes)
    data_ = {}
    for f, key in enumerate(frames):
        cells = [[values[(f + i * n + j) % len(values)] for j in range(n)] for i in range(n)]
        data_[key] = {"mask_areas": {b: areas[(f + i) % len(areas)] for i, b in enumerate(boxes)},
                      "intersections_df": pd.DataFrame(cells, index=boxes, columns=boxes)}
    out = c.fresh_dir("report")
    overlaps, zero_rows, _, _ = c.mu.generate_tracking_report(data_, out, threshold)
    path = os.path.join(out, "tracking_question_report.csv")
    if not os.path.exists(path):
        if len(overlaps) or zero_rows:
            raise Mismatch("rows reported but no report file written")
        return
    back = pd.read_csv(path, dtype=str, keep_default_na=False)
    ids = [str(k) for k in overlaps["Frame ID"]] + [str(r["Frame ID"]) for r in zero_rows]
    pairs = [str(p) for p in overlaps["Box Pair"]] + [""] * len(zero_rows)
    box_ids = [""] * len(overlaps) + [str(r["Box ID"]) for r in zero_rows]
    if list(back["Frame ID"]) != ids or list(back["Box Pair"]) != pairs or list(back["Box ID"]) != box_ids:
        raise Mismatch(f"report read back as {back.to_dict('list')!r:.500}, written from {ids!r:.200} "
                       f"{pairs!r:.200} {box_ids!r:.200}")


REPORT_TOKENS = [b";", b"\n", b",", b'"', b"\r", b"Box0", b"Box1", b"0", b"100", b"nan", b"inf", b"-0", b"1e308",
                 b"\xff", b"\xed\xa0\x80", b" "]


# --------------------------------------------------------------------------
# Track files (MOTChallenge boxes, MOTS masks) and COCO RLE texts


def track_seeds(c):
    mots = "".join(f"{f} {i} 2 40 64 {c.mu.rle_encode(c.np.eye(40, 64, k=5 * i, dtype=bool))['counts']}\n"
                   for f in (1, 2) for i in (1, 2))
    return [
        b"1,1,10,20,30,40,1,-1,-1,-1\n1,2,50,20,30,40,0.5,-1,-1,-1\n2,1,12,21,30,40,1,-1,-1,-1\n",
        b"1, 3, 0.5, 2, 30.25, 40, 1, 1, 0.8\n2,3,1e-3,2,3,4,1,\n\n3 3 5 6 7 8 1\n",
        mots.encode(),
        b"1 10000 10 40 64 " + c.mu.rle_encode(c.np.ones((40, 64)))["counts"].encode() + b"\n",
    ]


def run_track_file(c, data):
    path = c.write_input(data, "tracks.txt")
    mu = c.mu
    scores = mu.evaluate_tracking(path, path, iou="box")
    if scores.summary["IDSW"] != 0:
        raise Mismatch(f"a file scored against itself has switches: {scores.summary}")
    first = data.split(b"\n", 1)[0]
    if b"," in first or len(first.split()) >= 7:
        table = mu.read_mot(path)
        mu.write_mot(os.path.join(c.root, "back.txt"), table)
        back = mu.read_mot(os.path.join(c.root, "back.txt"))
        if not back.equals(table):
            raise Mismatch(f"MOT rows read back as {back!r:.300}, written from {table!r:.300}")
    else:
        table = mu.read_mots(path)
        mu.write_mots(os.path.join(c.root, "back.txt"), table)
        back = mu.read_mots(os.path.join(c.root, "back.txt"))
        same = back[["frame", "id", "class"]].equals(table[["frame", "id", "class"]]) and all(
            c.np.array_equal(a.runs, b.runs) and a.shape == b.shape for a, b in zip(back["mask"], table["mask"]))
        if not same:
            raise Mismatch("MOTS rows read back differently")


def run_rle_text(c, data):
    text = data.decode("latin-1")
    size, _, counts = text.partition(";")
    h, _, w = size.partition("x")
    shape = [int(h) if h.isdigit() and len(h) < 6 else 7, int(w) if w.isdigit() and len(w) < 6 else 5]
    mask = c.mu.rle_decode({"size": shape, "counts": counts})
    again = c.mu.rle_encode(mask)
    if c.mu.rle_decode(again).runs.tolist() != mask.runs.tolist():
        raise Mismatch(f"RLE {counts!r:.100} decoded, encoded as {again['counts']!r:.100}, decodes differently")


def rle_seeds(c):
    return [b"7x5;" + c.mu.rle_encode(c.np.eye(7, 5))["counts"].encode(), b"4x4;`0", b"2x2;0112", b"0x0;0"]


TRACK_TOKENS = [b",", b" ", b"\n", b"\r\n", b"10", b"-1", b"0", b"1e308", b"nan", b"inf", b"1.5", b"+", b"`0", b"o"]
RLE_TOKENS = [b"0", b"o", b"O", b"`", b"_", b"P", b";", b"x", b"\x7f", b"\xff"]


# --------------------------------------------------------------------------
# Exchange files of annotation tools: CVAT for video XML, COCO video JSON


def exchange_records(c):
    """Two frames of three animals at 40 x 64: one in two pieces, one that
    vanishes in the second frame."""
    np = c.np
    frames = {}
    for f in range(2):
        a = np.zeros((40, 64), bool)
        a[2:10, 3 + f:20 + f] = True
        a[20:30, 5:9] = True
        b = np.zeros((40, 64), bool)
        if f == 0:
            b[30:39, 40:63] = True
        speck = np.zeros((40, 64), bool)
        speck[0, 63] = True
        frames[f] = {"frame_index": f, "image_path": "0001.png", "masks_dict": {"Box0": a, "Box4": b, "Box2": speck}}
    return frames


CVAT_BY_HAND = """<?xml version="1.0" encoding="utf-8"?>
<annotations><version>1.1</version>
<meta><job><size>3</size><original_size><width>64</width><height>40</height></original_size></job></meta>
<track id="0" label="pig" source="manual">
<polygon frame="0" outside="0" occluded="0" keyframe="1" points="1.5,2.25;30.0,3.0;12.5,30.75" z_order="0"/>
<box frame="1" outside="0" occluded="0" keyframe="1" xtl="3" ytl="4" xbr="20.5" ybr="17" z_order="0"/>
<polygon frame="2" outside="1" occluded="0" keyframe="1" points="1,1;2,2;1,2" z_order="0"/></track>
<track id="3" label="pig" source="auto"><mask frame="1" outside="0" occluded="0" keyframe="1" rle="2,3,1,3,1"
 left="10" top="5" width="5" height="2" z_order="0"><attribute name="animal">1</attribute></mask></track>
</annotations>
"""


def exchange_seeds(fmt):
    def seeds(c):
        path = os.path.join(c.root, "seed")
        c.mu.export_tracks(exchange_records(c), path, fmt, simplify=0)
        with open(path, "rb") as f:
            made = f.read()
        if fmt == "cvat":
            return [made, CVAT_BY_HAND.encode()]
        by_hand = {"images": [{"id": 7, "frame_id": 2, "height": 40, "width": 64, "file_name": "a.png"}],
                   "annotations": [
                       {"id": 1, "image_id": 7, "instance_id": 3, "segmentation": [[1, 1, 30.5, 2, 10, 20]]},
                       {"id": 2, "image_id": 7, "instance_id": 3, "segmentation": None, "bbox": [40, 30, 5.5, 2]},
                       {"id": 3, "image_id": 7, "track_id": 1, "segmentation": {"size": [40, 64], "counts": [100, 20, 2440]}}]}
        return [made, json.dumps(by_hand).encode()]
    return seeds


def exchange_round_trip(fmt):
    """Reads the input; a small clip read is written again and read back:
    COCO gives the same masks, CVAT masks that cover the ones read (its
    outlines fill holes)."""
    def run(c, data):
        mu, np = c.mu, c.np
        path = c.write_input(data, "tracks." + ("xml" if fmt == "cvat" else "json"))
        tracks = mu._core._read_tracks(path, fmt, 40, 64, 0)
        if len(tracks) > 64 or tracks.height * tracks.width > 1 << 20:
            return
        frames = [tracks.masks(f) for f in range(len(tracks))]
        records = {f: {"frame_index": f, "image_path": "f.png",
                       "masks_dict": {f"Box{i - 1}": m for i, m in masks.items()}} for f, masks in enumerate(frames)}
        if not any(frames):
            return
        again_path = os.path.join(c.root, "again")
        mu.export_tracks(records, again_path, fmt, simplify=0, tolerance=0)
        again = mu.read_tracks(again_path, fmt)
        for f, masks in enumerate(frames):
            for i, m in masks.items():
                if fmt == "coco":
                    same = list(again[f]) == list(masks) and np.array_equal(again[f][i].runs, m.runs)
                else:
                    same = not m.area or (np.asarray(again[f][i]) >= np.asarray(m)).all()
                if not same:
                    raise Mismatch(f"frame {f}, object {i}: read back differently after writing it again")
    return run


CVAT_TOKENS = [b"<track", b"</track>", b"<polygon", b"<box", b"<mask", b' frame="', b' points="', b' outside="1"',
               b'<attribute name="animal">', b"</attribute>", b' rle="', b"&amp;", b"&#x41;", b"&#0;", b"<![CDATA[",
               b"]]>", b"<!DOCTYPE a [<!ENTITY b \"c\">]>", b"<!--", b"-->", b"<?pi?>", b"<original_size>",
               b"<size>", b";", b",", b"/>", b"\xff", b"\x01"]
COCO_TOKENS = [b'"images"', b'"annotations"', b'"videos"', b'"frame_id"', b'"track_id"', b'"instance_id"',
               b'"segmentation"', b'"counts"', b'"size"', b'"bbox"', b'"image_id"', b'"height"', b'"width"',
               b"[[1, 2, 3, 4, 5, 6]]", b"null", b"[0, 2560]", b'"o"']


TARGETS = {t.name: t for t in [
    Target("pen_file", pen_seeds, run_pen_file, PEN_TOKENS),
    Target("annotation_repair", annotation_seeds, run_annotation_repair, ANNOTATION_TOKENS),
    Target("clip_annotations", clip_seeds, run_clip_annotations, CLIP_TOKENS, sample_size=300),
    Target("recording_names", name_seeds, run_recording_names, NAME_TOKENS, max_size=1024, sample_size=150,
           structured=False),
    Target("mp4_file", lambda c: c.videos(), run_recording, MP4_TOKENS, max_size=1 << 20, sample_size=100,
           structured=False),
    Target("report_csv", report_seeds, run_report, REPORT_TOKENS, max_size=4096, sample_size=300,
           structured=False),
    Target("track_file", track_seeds, run_track_file, TRACK_TOKENS, max_size=8192, sample_size=300, structured=False),
    Target("rle_text", rle_seeds, run_rle_text, RLE_TOKENS, max_size=2048, sample_size=300, structured=False),
    Target("cvat_xml", exchange_seeds("cvat"), exchange_round_trip("cvat"), CVAT_TOKENS, max_size=8192, sample_size=300),
    Target("coco_json", exchange_seeds("coco"), exchange_round_trip("coco"), COCO_TOKENS, max_size=8192, sample_size=300),
]}
