"""A tracked clip out to the annotation tools' formats (CVAT for video XML,
COCO video JSON, MOTChallenge, MOTS) and back into annotation files: the
round trips, CVAT's documented structure, pycocotools' agreement, the
command line and bad files."""
import json
import os
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import mirelo_utils as mu
from mirelo_utils.__main__ import main

H, W = 60, 80
FRAMES = 10
EXPORTS = {"cvat": "tracks.xml", "coco": "tracks.json", "mot": "gt.txt", "mots": "gt_mots.txt"}


def needs(name):
    return pytest.importorskip(name, reason=f"{name} is not installed (scripts/setup.sh installs it from requirements-dev.txt)")


def ellipse(cx, cy, rx, ry, angle=0.0):
    import cv2

    m = np.zeros((H, W), np.uint8)
    cv2.ellipse(m, (int(cx), int(cy)), (int(rx), int(ry)), angle, 0, 360, 1, -1)
    return m


def scene_masks(f):
    """Object id -> mask of frame f: one walking, one still, one in two
    pieces in frames 3 to 5, one in the frame's corner, one that vanishes in
    frames 4 to 6 and comes back, one of a single pixel."""
    walker = np.zeros((H, W), np.uint8)
    walker[5:15, 2 + 3 * f:14 + 3 * f] = 1
    split = ellipse(20, 40, 9, 6)
    if 3 <= f <= 5:
        split[:, 19:22] = 0
    corner = np.zeros((H, W), np.uint8)
    corner[: 4 + f % 3, : 6] = 1
    comes_back = np.zeros((H, W), np.uint8) if 4 <= f <= 6 else ellipse(60, 45, 6, 5)
    speck = np.zeros((H, W), np.uint8)
    speck[30, 70] = 1
    return {1: walker, 2: ellipse(45, 20, 8, 5), 3: split, 4: corner, 5: comes_back, 6: speck}


@pytest.fixture
def tracked(tmp_path):
    """A clip folder written as a tracking run writes it, its frame images
    (0000.png ...), and the clip opened."""
    from PIL import Image

    frames = tmp_path / "frames"
    clip = tmp_path / "clip"
    frames.mkdir()
    clip.mkdir()
    for f in range(FRAMES):
        image = frames / f"{f:04d}.png"
        Image.new("RGB", (W, H), (10 * f, 40, 60)).save(image)
        mu.write_annotation_file(clip / f"output_pp_{f}.json", os.path.abspath(image), scene_masks(f))
    return clip, frames, mu.open_clip(clip)


def runs(mask):
    return np.asarray(mask.runs).tolist()


def iou(a, b):
    a, b = np.asarray(a).astype(bool), np.asarray(b).astype(bool)
    union = (a | b).sum()
    return (a & b).sum() / union if union else 1.0


def file_bytes(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.glob("output_pp_*.json"))}


# ------------------------------------------------------------- round trips

@pytest.mark.parametrize("fmt, options", [("coco", {}), ("mots", {}), ("cvat", {"simplify": 0, "tolerance": 0})])
def test_exact_round_trips_give_the_same_annotation_files(tmp_path, tracked, fmt, options):
    clip, frames, opened = tracked
    path = tmp_path / EXPORTS[fmt]
    mu.export_tracks(opened, path, fmt, **options)
    got = mu.import_tracks(path, tmp_path / "back", frames=frames)
    assert got.animals == [1, 2, 3, 4, 5, 6] and (got.height, got.width) == (H, W) and got.image is None
    assert file_bytes(tmp_path / "back") == file_bytes(clip)
    back = mu.read_tracks(path)
    for k in opened:
        want = opened.animals(k)
        assert [f"Box{i - 1}" for i in back[k]] == list(want)
        assert all(runs(back[k][int(key[3:]) + 1]) == runs(m) for key, m in want.items())


@pytest.mark.parametrize("source", ["clip", "folder", "records"])
def test_every_kind_of_clip_exports_the_same_file(tmp_path, tracked, source):
    clip, _, opened = tracked
    given = {"clip": opened, "folder": str(clip), "records": mu.get_gsam_annotation_data(None, save_dir_base=str(clip))[1]}
    mu.export_tracks(opened, tmp_path / "want.json", "coco", name="clip")
    mu.export_tracks(given[source], tmp_path / "got.json", "coco", name="clip")
    assert (tmp_path / "got.json").read_bytes() == (tmp_path / "want.json").read_bytes()


def test_cvat_with_simplified_outlines_keeps_identities_and_shapes(tmp_path, tracked):
    _, frames, opened = tracked
    summary = mu.export_tracks(opened, tmp_path / "t.xml", "cvat")
    # The split animal takes a second track for its second piece.
    assert summary.tracks == 7 and summary.animal_frames == 57
    assert summary.shapes < summary.animal_frames
    back = mu.read_tracks(tmp_path / "t.xml")
    worst = min(iou(back[k][int(key[3:]) + 1], m) for k in opened for key, m in opened.animals(k).items())
    assert worst >= 0.95
    for k in opened:
        assert [f"Box{i - 1}" for i in back[k]] == list(opened.animals(k))


def test_mot_round_trip_gives_each_mask_its_box(tmp_path, tracked):
    _, frames, opened = tracked
    mu.export_tracks(opened, tmp_path / "gt.txt", "mot")
    rows = (tmp_path / "gt.txt").read_text().splitlines()
    assert rows[0] == "1,1,2,5,12,10,1,1,1"  # frames from 1, inclusive pixels as width and height
    back = mu.read_tracks(tmp_path / "gt.txt", frames=frames)
    for k in opened:
        for key, m in opened.animals(k).items():
            box = np.zeros((H, W), bool)
            if m.area:
                x0, y0, x1, y1 = m.box
                box[y0:y1 + 1, x0:x1 + 1] = True
            assert np.array_equal(np.asarray(back[k][int(key[3:]) + 1]).astype(bool), box)
    assert mu.read_tracks(tmp_path / "gt.txt", frames=frames, frame_offset=0).keys() == set(range(FRAMES + 1))


def test_frames_missing_from_the_clip_come_back_empty(tmp_path, tracked):
    clip, frames, _ = tracked
    os.remove(clip / "output_pp_7.json")
    opened = mu.open_clip(clip)
    for fmt in ("coco", "cvat", "mots"):
        path = tmp_path / EXPORTS[fmt]
        mu.export_tracks(opened, path, fmt, simplify=0, tolerance=0)
        out = tmp_path / f"back_{fmt}"
        mu.import_tracks(path, out, frames=frames)
        doc = json.loads((out / "output_pp_7.json").read_text())
        if fmt == "coco":
            assert doc["detections"] == []
        else:
            assert [d["object_id"] for d in doc["detections"]] == [1, 2, 3, 4, 5, 6]
            assert all(d["formatted_polygon"] == [] for d in doc["detections"])
        assert file_bytes(out).keys() - {"output_pp_7.json"} == file_bytes(clip).keys()
        for name, data in file_bytes(clip).items():
            assert file_bytes(out)[name] == data, (fmt, name)


def test_without_frames_the_records_point_at_a_blank_image(tmp_path, tracked):
    _, _, opened = tracked
    mu.export_tracks(opened, tmp_path / "t.json", "coco")
    got = mu.import_tracks(tmp_path / "t.json", tmp_path / "back")
    from PIL import Image

    with Image.open(got.image) as im:
        assert im.size == (W, H) and im.getextrema() == ((0, 0), (0, 0), (0, 0))
    again = mu.open_clip(tmp_path / "back")
    assert {again[k]["image_path"] for k in again} == {got.image}
    assert all(runs(again.animals(k)[key]) == runs(m) for k in opened for key, m in opened.animals(k).items())
    # A second import of the same frames replaces the files; other frames are refused.
    mu.import_tracks(tmp_path / "t.json", tmp_path / "back")
    (tmp_path / "back" / "output_pp_99.json").write_text("{}")
    with pytest.raises(ValueError, match="annotation files of other frames"):
        mu.import_tracks(tmp_path / "t.json", tmp_path / "back")


# ------------------------------------------------------------- CVAT structure

def test_cvat_xml_has_the_structure_cvat_documents_for_video(tmp_path, tracked):
    _, _, opened = tracked
    summary = mu.export_tracks(opened, tmp_path / "t.xml", "cvat", label="sow", tolerance=0.02)
    root = ET.parse(tmp_path / "t.xml").getroot()
    assert root.tag == "annotations" and root.find("version").text == "1.1"
    task = root.find("meta/task")
    assert task.find("size").text == str(FRAMES) and task.find("mode").text == "interpolation"
    assert (task.find("original_size/width").text, task.find("original_size/height").text) == (str(W), str(H))
    label = task.find("labels/label")
    assert label.find("name").text == "sow" and label.find("type").text == "polygon"
    assert label.find("attributes/attribute/name").text == "animal"
    tracks = root.findall("track")
    assert [t.get("id") for t in tracks] == ["0", "1", "2", "3", "4", "5", "6"]
    shapes = []
    for t in tracks:
        assert set(t.attrib) == {"id", "label", "source"} and t.get("label") == "sow"
        for p in t:
            assert p.tag == "polygon"
            assert set(p.attrib) == {"frame", "outside", "occluded", "keyframe", "points", "z_order"}
            assert p.get("keyframe") == "1" and p.get("occluded") == "0" and p.get("outside") in ("0", "1")
            assert re.fullmatch(r"\d+\.50,\d+\.50(;\d+\.50,\d+\.50){2,}", p.get("points"))
            (attr,) = p.findall("attribute")
            assert attr.get("name") == "animal"
            shapes.append((int(t.get("id")), int(attr.text), int(p.get("frame")), p.get("outside")))
    assert len(shapes) == summary.shapes
    by_track = {}
    for track, animal, frame, outside in shapes:
        by_track.setdefault(track, []).append((animal, frame, outside))
    assert by_track[1] == [(2, 0, "0")]  # still: one keyframe for ten frames
    assert len(by_track[0]) == FRAMES  # walking: a keyframe every frame
    assert by_track[4] == [(5, 0, "0"), (5, 4, "1"), (5, 7, "0")]  # vanishes, returns
    assert by_track[6] == [(3, 3, "0"), (3, 6, "1")]  # the second piece of animal 3
    assert by_track[5] == [(6, 0, "0")]  # a single pixel, written as a polygon of three points


def test_cvat_tracks_made_in_cvat_are_read(tmp_path):
    """A task exported by CVAT itself: every frame listed (interpolated ones
    not keyframes), a box track and a mask track, tracks without the animal
    attribute (id + 1), an outside shape ending a track."""
    (tmp_path / "t.xml").write_text("""<?xml version="1.0" encoding="utf-8"?>
<annotations>
  <version>1.1</version>
  <meta><job><size>4</size><original_size><width>20</width><height>10</height></original_size></job>
    <dumped>2024-01-01</dumped></meta>
  <track id="0" label="pig" source="manual">
    <polygon frame="0" outside="0" occluded="0" keyframe="1" points="1.2,1.7;5.9,1.0;5.0,4.0" z_order="0"></polygon>
    <polygon frame="1" outside="0" occluded="1" keyframe="0" points="2.0,1.0;6.0,1.0;6.0,4.0;2.0,4.0" z_order="0"/>
    <polygon frame="2" outside="1" occluded="0" keyframe="1" points="2,1;6,1;6,4" z_order="0"/>
  </track>
  <track id="4" label="pig" source="manual">
    <box frame="1" outside="0" occluded="0" keyframe="1" xtl="10.5" ytl="2" xbr="13" ybr="4.2" z_order="0"/>
  </track>
  <track id="7" label="pig" source="semi-auto">
    <mask frame="3" outside="0" occluded="0" keyframe="1" rle="1, 2, 3, 2, 1" left="17" top="7" width="3" height="3" z_order="0">
      <attribute name="animal">5</attribute>
    </mask>
  </track>
</annotations>
""")
    back = mu.read_tracks(tmp_path / "t.xml")
    assert list(back) == [0, 1, 2, 3] and all(list(f) == [1, 5] for f in back.values())
    frame = lambda f, i: np.asarray(back[f][i]).astype(int)  # noqa: E731
    assert frame(0, 1)[1:5, 1:6].sum() > 0 and frame(1, 1)[1:5, 2:7].all() and frame(1, 1).sum() == 20
    assert frame(2, 1).sum() == 0 and frame(3, 1).sum() == 0
    # The box track (id 4) is object 5 too: joined with the mask track's frames.
    assert frame(1, 5)[2:5, 10:13].all() and frame(1, 5).sum() == 9
    assert frame(2, 5).sum() == 9  # held until the track's next shape
    mask = np.zeros((10, 20), int)
    mask[7, 18:20] = mask[9, 17:19] = 1
    assert np.array_equal(frame(3, 5), mask | frame(2, 5))


# --------------------------------------------------------- pycocotools

def agreement_masks(rng):
    h, w = 23, 31
    masks = {1: np.zeros((h, w), np.uint8)}  # empty
    masks[2] = np.zeros((h, w), np.uint8)
    masks[2][h - 1, w - 1] = 1  # one pixel in the corner
    masks[3] = np.zeros((h, w), np.uint8)
    masks[3][0, :] = masks[3][:, 0] = 1  # along two sides
    masks[4] = np.ones((h, w), np.uint8)  # the whole frame
    for k in range(5, 15):
        masks[k] = (rng.random((h, w)) < rng.random()).astype(np.uint8)
    return masks


# pycocotools' decode (2.0.11) passes copy=False to an __array__ of its own
# that NumPy 2 warns about; the masks it gives are right.
@pytest.mark.filterwarnings("ignore:__array__ implementation doesn't accept a copy keyword:DeprecationWarning")
def test_coco_masks_agree_with_pycocotools(tmp_path, rng):
    coco = needs("pycocotools.mask")
    masks = agreement_masks(rng)
    records = {0: {"frame_index": 0, "image_path": "f.png", "masks_dict": {f"Box{k - 1}": m for k, m in masks.items()}}}
    mu.export_tracks(records, tmp_path / "ours.json", "coco")
    doc = json.loads((tmp_path / "ours.json").read_text())
    for ann in doc["annotations"]:
        m = masks[ann["track_id"]]
        rle = {"size": ann["segmentation"]["size"], "counts": ann["segmentation"]["counts"].encode()}
        assert np.array_equal(coco.decode(rle), m)
        want = coco.encode(np.asfortranarray(m))
        assert ann["segmentation"]["counts"] == want["counts"].decode()
        assert ann["area"] == int(coco.area(want)) and ann["bbox"] == coco.toBbox(want).tolist()
    # pycocotools' encodings (compressed, and as counts) read back to the same runs.
    theirs = dict(doc)
    theirs["annotations"] = []
    for k, m in masks.items():
        rle = coco.encode(np.asfortranarray(m))
        counts = rle["counts"].decode() if k % 2 else _uncompressed(m)
        theirs["annotations"].append({"id": k, "image_id": 1, "instance_id": k, "category_id": 1,
                                      "segmentation": {"size": [int(s) for s in rle["size"]], "counts": counts}})
    (tmp_path / "theirs.json").write_text(json.dumps(theirs))
    back = mu.read_tracks(tmp_path / "theirs.json")
    assert list(back[0]) == list(masks)
    for k, m in masks.items():
        assert runs(back[0][k]) == runs(mu.CompactMask.from_array(m))


def _uncompressed(m):
    flat = np.asfortranarray(m).ravel(order="F")
    edges = np.flatnonzero(np.diff(np.concatenate([[0], flat, [0]])))
    counts = np.diff(np.concatenate([[0], edges, [flat.size]])).tolist()
    return [c for c in counts if c] if flat[0] == 0 else [0] + [c for c in counts if c]


def test_coco_polygons_and_boxes_and_pieces_are_read(tmp_path):
    doc = {"images": [{"id": 3, "frame_id": 1, "height": 10, "width": 12}],
           "annotations": [{"image_id": 3, "track_id": 2, "segmentation": [[1, 1, 4.9, 1, 4.9, 3.2, 1, 3.2]]},
                           {"image_id": 3, "track_id": 2, "segmentation": None, "bbox": [8, 6, 2, 1.5]}]}
    (tmp_path / "c.json").write_text(json.dumps(doc))
    back = mu.read_tracks(tmp_path / "c.json")
    assert list(back) == [0, 1] and back[0] == {}
    want = np.zeros((10, 12), bool)
    want[1:4, 1:5] = want[6:8, 8:10] = True
    assert np.array_equal(np.asarray(back[1][2]).astype(bool), want)


# ------------------------------------------------------------- command line

def test_the_command_line_exports_and_imports(tmp_path, tracked, capsys):
    clip, frames, opened = tracked
    assert main(["export", str(clip), "--format", "cvat", str(tmp_path / "t.xml"), "--simplify", "0",
                 "--tolerance", "0"]) == 0
    out = capsys.readouterr().out
    assert "t.xml: CVAT for video 1.1 XML: 10 frames" in out and "7 tracks" in out and "for 57 animal-frames" in out
    assert main(["import", str(tmp_path / "t.xml"), str(tmp_path / "back"), "--frames", str(frames)]) == 0
    assert "10 annotation files of 6 animals at 60 x 80" in capsys.readouterr().out
    assert file_bytes(tmp_path / "back") == file_bytes(clip)
    assert main(["export", str(clip), "--format", "mots", str(tmp_path / "m.txt"), "--frame-offset", "0"]) == 0
    assert (tmp_path / "m.txt").read_text().startswith("0 1 1 60 80 ")
    capsys.readouterr()
    assert main(["import", str(tmp_path / "m.txt"), str(tmp_path / "m"), "--frame-offset", "0"]) == 0
    assert "every record points at" in capsys.readouterr().out


@pytest.mark.parametrize("argv, message", [
    (["import", "{tmp}/gt.txt", "{tmp}/out"], "holds boxes without a frame size"),
    (["import", "{tmp}/missing.xml", "{tmp}/out"], "no track file"),
    (["import", "{tmp}/gt.txt", "{tmp}/out", "--frames", "{tmp}/few"], "no image for frame 2"),
    (["import", "{tmp}/t.json", "{tmp}/out", "--frames", "{tmp}/big"], "are 60 x 80, the frames"),
    (["export", "{tmp}/nothing", "--format", "coco", "{tmp}/x.json"], "no annotation files"),
])
def test_the_command_line_reports_bad_input(tmp_path, tracked, capsys, argv, message):
    from PIL import Image

    _, _, opened = tracked
    mu.export_tracks(opened, tmp_path / "gt.txt", "mot")
    mu.export_tracks(opened, tmp_path / "t.json", "coco")
    for name, size, count in (("few", (W, H), 2), ("big", (W + 1, H), 1)):
        (tmp_path / name).mkdir()
        for f in range(count):
            Image.new("RGB", size).save(tmp_path / name / f"{f}.png")
    (tmp_path / "nothing").mkdir()
    assert main([a.format(tmp=tmp_path) for a in argv]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1


# ------------------------------------------------------------- bad files

CVAT_HEAD = '<annotations><meta><task><size>3</size><original_size><width>8</width><height>6</height></original_size></task></meta>\n'


@pytest.mark.parametrize("text, match", [
    ('<?xml version="1.0"?>\n<!DOCTYPE a [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;&a;">]>\n<annotations>&b;</annotations>',
     r"t\.xml, line 2: a document type declaration"),
    (CVAT_HEAD + '<track id="0"><polygon frame="0" points="1,1;2,2;1,2">&lol;</polygon></track></annotations>',
     r"line 2: the entity &lol; is not one of"),
    (CVAT_HEAD + '<track id="0">\n<polygon frame="0" points="1,1;2,2"></track></annotations>', r"line 3: the end tag </track> does not close <polygon> \(line 3\)"),
    (CVAT_HEAD + '<track label="pig"><polygon frame="0" points="1,1"/></track></annotations>', r"line 2: <track>: expected the attribute id"),
    (CVAT_HEAD + '<track id="0">\n\n<polygon frame="0"/></track></annotations>', r"line 4: <polygon>: expected the attribute points"),
    (CVAT_HEAD + '<track id="0"><polygon frame="0" points="1,1;x,2"/></track></annotations>', r"<polygon>: expected a finite number for an x of points, got 'x'"),
    (CVAT_HEAD + '<track id="0"><polygon frame="0" points="1,1;nan,2"/></track></annotations>', "finite number"),
    (CVAT_HEAD + '<track id="0"><polygon frame="-1" points="1,1"/></track></annotations>', "expected a frame from 0"),
    (CVAT_HEAD + '<track id="0"><polygon frame="1e12" points="1,1"/></track></annotations>', "expected a frame from 0"),
    (CVAT_HEAD + '<track id="0"><polygon frame="1" points="1,1"/>\n<polygon frame="1" points="1,1"/></track></annotations>',
     r"line 3: <polygon>: a second shape of track 0 in frame 1 \(the first at line 2\)"),
    (CVAT_HEAD + '<track id="0"><polygon frame="0" points="1,1"><attribute name="animal">2</attribute></polygon>'
     '<polygon frame="1" points="1,1"><attribute name="animal">3</attribute></polygon></track></annotations>',
     "the animal 3 differs from the track's earlier shapes' 2"),
    (CVAT_HEAD + '<track id="0"/><track id="0"/></annotations>', "the track id 0 is used before, at line 2"),
    (CVAT_HEAD + '<track id="0"><points frame="0" points="1,1"/></track></annotations>', "expected polygon, box or mask"),
    (CVAT_HEAD + '<track id="0"><mask frame="0" rle="3,40" left="0" top="0" width="2" height="2"/></track></annotations>',
     "covering the box's 4 pixels, got more"),
    (CVAT_HEAD + '<track id="0"><mask frame="0" rle="1" left="7" top="0" width="2" height="2"/></track></annotations>',
     "a box inside the 6 x 8 frame"),
    (CVAT_HEAD + '<image id="0" name="a.png"/></annotations>', "this is CVAT for images"),
    ('<annotations><track id="0"><polygon frame="0" points="1,1"/></track></annotations>', "states no frame size"),
    ('<tracks/>', "expected the root element <annotations>"),
    ('<annotations>\x01</annotations>', "control character 1"),
    ('<a>' * 300 + '</a>' * 300, "nested more than 256 deep"),
    ('<annotations a="1" a="2"/>', "the attribute a appears twice"),
    ('<annotations>', r"the element <annotations> \(line 1\) is not closed"),
])
def test_bad_cvat_files_name_the_file_and_line(tmp_path, text, match):
    (tmp_path / "t.xml").write_text(text)
    with pytest.raises(ValueError, match=match) as e:
        mu.read_tracks(tmp_path / "t.xml")
    assert str(tmp_path / "t.xml") in str(e.value)


COCO_OK = {"images": [{"id": 1, "frame_id": 0, "height": 2, "width": 2}],
           "annotations": [{"image_id": 1, "track_id": 1, "segmentation": {"size": [2, 2], "counts": "04"}}]}


def coco_with(**change):
    doc = json.loads(json.dumps(COCO_OK))
    for path, value in change.items():
        *keys, last = path.split("__")
        target = doc
        for k in keys:
            target = target[int(k)] if isinstance(target, list) else target[k]
        if value is KeyError:
            del target[last]
        else:
            target[last] = value
    return doc


@pytest.mark.parametrize("doc, error, match", [
    (coco_with(images=KeyError), KeyError, r"the top level: expected the member \"images\""),
    (coco_with(annotations__0__image_id=9), ValueError, r"annotations\[0\]\[\"image_id\"\]: no image has the id 9"),
    (coco_with(annotations__0__track_id=KeyError), KeyError, r"annotations\[0\]: expected the member \"track_id\""),
    (coco_with(annotations__0__segmentation__counts="0!"), ValueError, r"annotations\[0\]\[\"segmentation\"\]\[\"counts\"\]"),
    (coco_with(annotations__0__segmentation__size=[3, 2]), ValueError, r"the image's size \[2, 2\]"),
    (coco_with(annotations__0__segmentation__counts=[1, 2]), ValueError, "cover 3 pixels"),
    (coco_with(images__0__frame_id=KeyError), KeyError, r"images\[0\]: expected the member \"frame_id\""),
    (coco_with(images__0__frame_id=-2), ValueError, "expected a frame from 0"),
    (coco_with(images__0__height=KeyError), ValueError, "states no frame size"),
    (coco_with(videos=[{"id": 1}, {"id": 2}]), ValueError, "expected one video, got 2"),
    (coco_with(annotations__0__segmentation=[[1, 2, 3]]), ValueError, r"x, y pairs, got 3 numbers"),
    (coco_with(annotations__0__track_id="1"), TypeError, r"\"track_id\"\]: expected a whole number, got str"),
    ([], TypeError, "the top level: expected an object, got list"),
])
def test_bad_coco_files_name_the_file_and_member(tmp_path, doc, error, match):
    (tmp_path / "c.json").write_text(json.dumps(doc))
    with pytest.raises(error, match=match) as e:
        mu.read_tracks(tmp_path / "c.json")
    assert "c.json" in str(e.value)


@pytest.mark.parametrize("call, error, match", [
    (lambda c, t: mu.export_tracks(c, t / "x", "yaml"), ValueError, "format \"cvat\""),
    (lambda c, t: mu.export_tracks(c, t / "x", "cvat", tolerance=2), ValueError, "tolerance from 0 to 1"),
    (lambda c, t: mu.export_tracks(c, t / "x", "cvat", simplify=-1), ValueError, "simplify"),
    (lambda c, t: mu.export_tracks(c, t / "x", "coco", frame_offset=1), ValueError, "applies to MOT and MOTS"),
    (lambda c, t: mu.export_tracks(42, t / "x", "coco"), TypeError, "clip, a mapping"),
    (lambda c, t: mu.export_tracks({0: {"frame_index": 0, "masks_dict": {"pig": np.ones((2, 2))}}}, t / "x", "coco"),
     ValueError, "\"Box\" followed by a number"),
    (lambda c, t: mu.export_tracks({0: {"frame_index": 0, "masks_dict": {"Box0": np.ones((2, 2)), "Box1": np.ones((3, 2))}}},
                                   t / "x", "coco"), ValueError, "3 x 2 for object 2 of frame 0"),
    (lambda c, t: mu.export_tracks({0: {"frame_index": 5, "masks_dict": {"Box0": np.ones((2, 2))}},
                                    1: {"frame_index": 5, "masks_dict": {"Box0": np.ones((2, 2))}}}, t / "x", "cvat"),
     ValueError, "each frame once, in increasing order, got frame 5 after frame 5"),
    (lambda c, t: mu.export_tracks({0: {"frame_index": 0, "masks_dict": {}}}, t / "x", "cvat"), ValueError, "frame size"),
    (lambda c, t: mu.export_tracks(c, t / "missing" / "x.xml", "cvat"), FileNotFoundError, "missing"),
    (lambda c, t: mu.read_tracks(t / "empty.txt"), ValueError, "holds no rows"),
])
def test_bad_arguments(tmp_path, tracked, call, error, match):
    (tmp_path / "empty.txt").write_text("\n")
    with pytest.raises(error, match=match):
        call(tracked[2], tmp_path)


def test_track_files_with_frames_before_the_offset_are_refused(tmp_path):
    (tmp_path / "m.txt").write_text("0 1 1 2 2 04\n")
    with pytest.raises(ValueError, match=r"m\.txt, line 1: frame 0 comes before the first frame, 1"):
        mu.read_tracks(tmp_path / "m.txt")
    assert list(mu.read_tracks(tmp_path / "m.txt", frame_offset=0)[0]) == [1]
