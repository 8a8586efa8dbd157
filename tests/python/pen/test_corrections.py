"""Corrections of identities in a clip folder: what each edit does to the
files' bytes (only the ids move; dropped entries go with their separator),
undo to the very bytes, the audit log, merges and their conflicts, bad ids
and frames refused with nothing changed, the page's advice, and the report
and page of an edited clip."""
import contextlib
import hashlib
import io
import json
import os
import pathlib
import shutil
import sys

import pytest

import mirelo_utils as mu
from mirelo_utils.__main__ import main

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "qc"))
from test_health import page_of, write_clip  # noqa: E402

# Ways annotation files are written: the runner's json.dumps, json.dump with
# an indent, compact separators; numbers spelled as json never writes them.
FORMATS = {
    "one line": {},
    "indent 2": {"indent": 2},
    "indent 4": {"indent": 4},
    "compact": {"separators": (",", ":")},
}
SPELLINGS = [("0.25", "0.250"), ("1e-05", "1.0E-5"), ("-0.0", "-0.00")]


def spelled(text):
    """The text with its numbers spelled unusually (never as json writes them)."""
    for plain, odd in SPELLINGS:
        text = text.replace(plain, odd)
    return text


def doc_of(frame, ids):
    return {
        "image_path": "frame.png",
        "detections": [
            {"object_id": i, "class_name": "pig", "confidence": 0.25, "tiny": 1e-05, "xyxy": [[1, 2, 3.5, -0.0]],
             "formatted_polygon": [f"0 0.1 0.1 0.2 0.{i} 0.{frame}"]}
            for i in ids
        ],
        "frame": frame,
    }


def write(path, doc, fmt):
    path.write_text(spelled(json.dumps(doc, **FORMATS[fmt])), encoding="utf-8")


def make_clip(folder, fmt, frames=6, ids=(1, 2, 3, 10)):
    """A clip whose files hold `ids` in every frame; returns the documents."""
    folder.mkdir(parents=True, exist_ok=True)
    docs = {}
    for f in range(frames):
        docs[f] = doc_of(f, ids)
        write(folder / f"output_pp_{f}.json", docs[f], fmt)
    return docs


def files_of(folder):
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(folder).glob("output_pp_*.json"))}


def expected_files(docs, fmt, edit):
    """The files as json would write the documents edited by `edit(frame, doc)`."""
    out = {}
    for f, doc in docs.items():
        doc = json.loads(json.dumps(doc))
        edit(f, doc)
        out[f"output_pp_{f}.json"] = spelled(json.dumps(doc, **FORMATS[fmt])).encode()
    return out


def swap(a, b, lo, hi):
    def edit(f, doc):
        if lo <= f <= hi:
            for d in doc["detections"]:
                d["object_id"] = {a: b, b: a}.get(d["object_id"], d["object_id"])
    return edit


def relabel(old, new, lo, hi):
    def edit(f, doc):
        if lo <= f <= hi:
            for d in doc["detections"]:
                if d["object_id"] == old:
                    d["object_id"] = new
    return edit


def drop(i, lo, hi):
    def edit(f, doc):
        if lo <= f <= hi:
            doc["detections"] = [d for d in doc["detections"] if d["object_id"] != i]
    return edit


EDITS = [
    ("swap 1 2 from 2", lambda c: mu.swap_identities(c, 1, 2, 2), swap(1, 2, 2, 99), [2, 3, 4, 5]),
    ("swap 3 10 in 1-3", lambda c: mu.swap_identities(c, 3, 10, 1, 3), swap(3, 10, 1, 3), [1, 2, 3]),
    ("relabel 10 to 7", lambda c: mu.relabel_track(c, 10, 7), relabel(10, 7, 0, 99), [0, 1, 2, 3, 4, 5]),
    ("relabel 2 to 123 up to 1", lambda c: mu.relabel_track(c, 2, 123, to_frame=1), relabel(2, 123, 0, 1), [0, 1]),
    ("drop the first", lambda c: mu.drop_track(c, 1, 4), drop(1, 4, 99), [4, 5]),
    ("drop a middle one", lambda c: mu.drop_track(c, 2, 0, 0), drop(2, 0, 0), [0]),
    ("drop the last", lambda c: mu.drop_track(c, 10), drop(10, 0, 99), [0, 1, 2, 3, 4, 5]),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("name, call, edit, frames", EDITS, ids=[e[0] for e in EDITS])
def test_an_edit_changes_only_what_it_edits_and_undo_restores_the_bytes(tmp_path, fmt, name, call, edit, frames):
    clip = tmp_path / "clip"
    docs = make_clip(clip, fmt)
    before = files_of(clip)
    c = call(str(clip))
    assert files_of(clip) == expected_files(docs, fmt, edit)
    assert c.frames == tuple(frames)
    assert c.files == tuple(str(clip / f"output_pp_{f}.json") for f in frames)
    after = files_of(clip)
    assert c.hashes == tuple((hashlib.sha256(before[os.path.basename(p)]).hexdigest(),
                              hashlib.sha256(after[os.path.basename(p)]).hexdigest()) for p in c.files)
    u = mu.undo(str(clip))
    assert files_of(clip) == before
    assert (u.operation, u.undoes, u.arguments, u.frames) == ("undo", c.edit, {"edit": c.edit}, c.frames)


def test_dropping_every_detection_leaves_an_empty_list(tmp_path):
    for fmt in FORMATS:
        clip = tmp_path / fmt
        docs = make_clip(clip, fmt, frames=2, ids=(4,))
        mu.drop_track(str(clip), 4)
        assert files_of(clip) == expected_files(docs, fmt, drop(4, 0, 9))


def test_undo_steps_back_newest_first_and_the_log_says_so(tmp_path):
    clip = tmp_path / "clip"
    make_clip(clip, "indent 2")
    original = files_of(clip)
    mu.swap_identities(clip, 1, 2, 0)
    swapped = files_of(clip)
    mu.drop_track(clip, 3, 1, 4)
    mu.relabel_track(clip, 10, 11, 3)
    undone = [mu.undo(clip), mu.undo(clip)]
    assert files_of(clip) == swapped
    assert [u.undoes for u in undone] == [3, 2]
    redo = mu.drop_track(clip, 2, 5)
    assert [mu.undo(clip).undoes for _ in range(2)] == [redo.edit, 1]
    assert files_of(clip) == original
    with pytest.raises(ValueError, match="nothing to undo in .*: every correction is undone"):
        mu.undo(clip)
    log = mu.history(clip)
    assert [(c.edit, c.operation, c.undoes, c.undone_by) for c in log] == [
        (1, "swap_identities", None, 8), (2, "drop_track", None, 5), (3, "relabel_track", None, 4),
        (4, "undo", 3, None), (5, "undo", 2, None), (6, "drop_track", None, 7), (7, "undo", 6, None),
        (8, "undo", 1, None)]
    assert log[0].arguments == {"a": 1, "b": 2, "from_frame": 0, "to_frame": None}
    assert log[1].arguments == {"object_id": 3, "from_frame": 1, "to_frame": 4}
    lines = (clip / "corrections.jsonl").read_text().splitlines()
    assert len(lines) == 8
    first = json.loads(lines[0])
    assert list(first) == ["edit", "time", "operation", "arguments", "files"]
    assert first["files"][0] == {"file": "output_pp_0.json", "frame": 0, "before": log[0].hashes[0][0],
                                 "after": log[0].hashes[0][1]}
    assert first["time"].endswith("Z") and len(first["time"]) == 20
    assert sorted(os.listdir(clip / ".corrections")) == ["edit-1", "edit-2", "edit-3", "edit-4", "edit-5", "edit-6",
                                                         "edit-7", "edit-8", "lock"]


def test_merge_refuses_frames_with_both_unless_told(tmp_path):
    clip = tmp_path / "clip"
    clip.mkdir()
    # Track 5 is track 2 under a new id from frame 2 on, and both in frame 1.
    docs = {f: doc_of(f, (1, 2) if f < 2 else (1, 5)) for f in range(4)}
    docs[1] = doc_of(1, (1, 2, 5))
    for f, doc in docs.items():
        write(clip / f"output_pp_{f}.json", doc, "indent 4" if f == 1 else "one line")
    before = files_of(clip)
    with pytest.raises(ValueError, match=r"object ids 2 and 5 are both present in 1 frame\(s\) \(1\); say which "
                                         r"detection to keep there: on_conflict=\"keep\""):
        mu.merge_tracks(clip, 2, 5)
    assert files_of(clip) == before and not (clip / "corrections.jsonl").exists()

    mu.merge_tracks(clip, 2, 5, on_conflict="keep")
    for f in (2, 3):
        assert (clip / f"output_pp_{f}.json").read_bytes() == expected_files({f: docs[f]}, "one line",
                                                                              relabel(5, 2, 0, 9))[f"output_pp_{f}.json"]
    assert [d["object_id"] for d in json.loads((clip / "output_pp_1.json").read_text())["detections"]] == [1, 2]
    assert json.loads((clip / "output_pp_1.json").read_text())["detections"][1]["formatted_polygon"] == ["0 0.1 0.1 0.2 0.2 0.1"]
    mu.undo(clip)
    mu.merge_tracks(clip, 2, 5, on_conflict="other")
    kept = json.loads((clip / "output_pp_1.json").read_text())["detections"]
    assert [(d["object_id"], d["formatted_polygon"]) for d in kept] == [(1, ["0 0.1 0.1 0.2 0.1 0.1"]),
                                                                      (2, ["0 0.1 0.1 0.2 0.5 0.1"])]
    mu.undo(clip)
    assert files_of(clip) == before


def test_a_union_merge_rewrites_its_frames_as_the_library_writes_files(tmp_path):
    clip = tmp_path / "clip"
    clip.mkdir()
    one = {"image_path": "f.png", "detections": [
        {"object_id": 1, "xyxy": [[10, 10, 20, 20]], "formatted_polygon": ["0 0.1 0.1 0.2 0.1 0.2 0.2"]},
        {"object_id": 2, "xyxy": [[5, 12.5, 15, 30]], "formatted_polygon": ["0 0.5 0.5 0.6 0.5 0.6 0.6"]}]}
    (clip / "output_pp_0.json").write_text(spelled(json.dumps(one, indent=2)))
    (clip / "output_pp_1.json").write_text(spelled(json.dumps(one)))
    before = files_of(clip)
    c = mu.merge_tracks(clip, 1, 2, on_conflict="union")
    merged = {"image_path": "f.png", "detections": [
        {"object_id": 1, "xyxy": [[5, 10, 20, 30]],
         "formatted_polygon": ["0 0.1 0.1 0.2 0.1 0.2 0.2", "0 0.5 0.5 0.6 0.5 0.6 0.6"]}]}
    # Several lines: as fix_polygon_scaling writes (json.dump, indent=4);
    # one line: as the runner writes (json.dumps).
    assert (clip / "output_pp_0.json").read_text() == json.dumps(merged, indent=4)
    assert (clip / "output_pp_1.json").read_text() == json.dumps(merged)
    assert c.frames == (0, 1)
    mu.undo(clip)
    assert files_of(clip) == before


BAD = [
    (lambda c: mu.swap_identities(c, 3, 3, 0), ValueError, "cannot swap object id 3 with itself"),
    (lambda c: mu.swap_identities(c, 0, 3, 0), ValueError, "expected an object id from 1 to 2\\*\\*63 - 1 for a"),
    (lambda c: mu.swap_identities(c, True, 3, 0), TypeError, "expected a whole number .* for a, got bool"),
    (lambda c: mu.swap_identities(c, "1", 3, 0), TypeError, "for a, got str"),
    (lambda c: mu.swap_identities(c, 1, 3, 2.0), TypeError, "frame number or None for from_frame, got float"),
    (lambda c: mu.swap_identities(c, 1, 3, -1), ValueError, "frame number from 0 .* for from_frame, got -1"),
    (lambda c: mu.swap_identities(c, 1, 3, 4, 2), ValueError, "expected from_frame at most to_frame, got "
                                                             "from_frame 4 and to_frame 2"),
    (lambda c: mu.swap_identities(c, 1, 3, 50), ValueError, "no annotation file from frame 50 to the end of"),
    (lambda c: mu.swap_identities(c, 7, 8, 0), ValueError, r"neither object id 7 nor 8 is in any annotation file "
                                                          r"from frame 0 to the end of .* \(the ids there: 1, 2, 3, 10\)"),
    (lambda c: mu.swap_identities(c, 1, 8, 0), ValueError, "object id 8 is in no annotation file .*nothing to swap 1 "
                                                          "with; to give it a new id there, relabel it"),
    (lambda c: mu.relabel_track(c, 4, 5), ValueError, "object id 4 is in no annotation file of the clip"),
    (lambda c: mu.relabel_track(c, 1, 1), ValueError, "cannot relabel object id 1 as itself"),
    (lambda c: mu.relabel_track(c, 1, 2, 4), ValueError, r"cannot relabel object id 1 as 2: 2 is there too in 2 "
                                                         r"frame\(s\) \(4, 5\).*merge_tracks, fix merge"),
    (lambda c: mu.drop_track(c, 9, to_frame=3), ValueError, "object id 9 is in no annotation file from the start to "
                                                           "frame 3"),
    (lambda c: mu.merge_tracks(c, 2, 2), ValueError, "cannot merge object id 2 into itself"),
    (lambda c: mu.merge_tracks(c, 2, 3, on_conflict="both"), ValueError, "expected on_conflict None, \"keep\""),
    (lambda c: mu.merge_tracks(c, 2, 4), ValueError, "object id 4 is in no annotation file of the clip"),
    (lambda c: mu.undo(c), ValueError, "nothing to undo in .*: it has no corrections log"),
    (lambda c: mu.swap_identities(os.path.join(c, "missing"), 1, 2, 0), FileNotFoundError, "missing"),
    (lambda c: mu.swap_identities(42, 1, 2, 0), TypeError, "expected a clip folder"),
]


@pytest.mark.parametrize("call, exc, match", BAD)
def test_bad_ids_and_frames_are_refused_with_nothing_changed(tmp_path, call, exc, match):
    clip = tmp_path / "clip"
    make_clip(clip, "one line")
    before = files_of(clip)
    with pytest.raises(exc, match=match):
        call(str(clip))
    assert files_of(clip) == before
    # No log; at most the folder lock that an editor takes before it reads.
    assert set(os.listdir(clip)) - set(before) <= {".corrections"}
    assert os.listdir(clip / ".corrections") in ([], ["lock"]) if (clip / ".corrections").exists() else True


@pytest.mark.parametrize("content, exc, match", [
    ("{", ValueError, "invalid JSON in .*output_pp_3.json"),
    ('{"detections": [{"object_id": "2"}]}', TypeError, 'expected an integer for "detections"\\[0\\]\\["object_id"\\] '
                                                        "of the annotation file .*output_pp_3.json.*got str"),
    ('{"detections": {}}', TypeError, "expected a list for \"detections\" of the annotation file"),
    ('{"image_path": "a"}', ValueError, "no \"detections\" in the annotation file .*output_pp_3.json"),
    ("[]", TypeError, "expected a JSON object in the annotation file"),
])
def test_a_malformed_file_stops_the_edit_before_anything_is_written(tmp_path, content, exc, match):
    clip = tmp_path / "clip"
    make_clip(clip, "one line")
    (clip / "output_pp_3.json").write_text(content)
    before = files_of(clip)
    with pytest.raises(exc, match=match):
        mu.swap_identities(clip, 1, 2, 0)
    assert files_of(clip) == before and not (clip / "corrections.jsonl").exists()
    mu.swap_identities(clip, 1, 2, 4)  # files outside the range are not read


def test_durable_edits_and_files_in_sub_folders(tmp_path):
    clip = tmp_path / "clip"
    docs = make_clip(clip / "a", "indent 2", frames=2)
    make_clip(clip / "b", "one line", frames=3)
    c = mu.swap_identities(clip, 1, 2, 1, durable=True)
    assert c.files == (str(clip / "a" / "output_pp_1.json"), str(clip / "b" / "output_pp_1.json"),
                       str(clip / "b" / "output_pp_2.json"))
    assert (clip / "a" / "output_pp_1.json").read_bytes() == expected_files({1: docs[1]}, "indent 2",
                                                                            swap(1, 2, 0, 9))["output_pp_1.json"]
    assert [f["file"] for f in json.loads((clip / "corrections.jsonl").read_text())["files"]] == [
        "a/output_pp_1.json", "b/output_pp_1.json", "b/output_pp_2.json"]
    mu.drop_track(clip, 3, durable=True)
    mu.undo(clip, durable=True)
    mu.undo(clip, durable=True)
    assert mu.history(clip)[0].undone_by == 4


# ------------------------------------------------- an edited clip's page


@pytest.fixture
def health_clip(tmp_path):
    return write_clip(tmp_path / "clip")


def quiet(call, *args, **kwargs):
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args, **kwargs)


def test_page_advice_swaps_exactly_the_pair_the_page_marks(health_clip, tmp_path):
    original = quiet(mu.open_clip, health_clip)
    originals = {f: original.animals(f) for f in range(len(original))}
    before = files_of(health_clip)
    c = quiet(mu.apply_page_advice, health_clip)
    assert (c.operation, c.arguments) == ("apply_page_advice", {"steps": [
        {"a": 1, "b": 2, "from_frame": 20, "to_frame": None}]})
    assert c.frames == tuple(range(20, 40))
    # The same bytes as the straightforward edit: json, ids exchanged.
    for f in range(40):
        doc = json.loads(before[f"output_pp_{f}.json"])
        if f >= 20:
            swap(1, 2, 0, 99)(f, doc)
        assert files_of(health_clip)[f"output_pp_{f}.json"] == json.dumps(doc).encode()
    edited = quiet(mu.open_clip, health_clip)
    for f in range(40):
        masks = edited.animals(f)
        want = {k: originals[f][{"Box0": "Box1", "Box1": "Box0"}.get(k, k) if f >= 20 else k] for k in masks}
        assert {k: (m.box, m.area) for k, m in masks.items()} == {k: (m.box, m.area) for k, m in want.items()}

    page, table = quiet(page_of, health_clip, tmp_path)
    swapped, merged = page.episodes
    assert not swapped.swapped and swapped.pair == ("Box0", "Box1")
    assert table.loc["Box1", "Confidence"] == pytest.approx(36 / 40)  # no longer named
    assert [(r.edit, r.operation, r.arguments, r.frames, r.files) for r in page.corrections] == [
        (1, "apply_page_advice", "a=1 b=2 from_frame=20", "20-39", 20)]
    assert quiet(mu.apply_page_advice, health_clip) is None  # the corrected page marks no swap
    assert len(mu.history(health_clip)) == 1

    out = tmp_path / "page"
    quiet(mu.clip_health_report, health_clip, out)
    html = (out / "index.html").read_text()
    assert "<h2>Corrections applied</h2>" in html and "a=1 b=2 from_frame=20" in html
    mu.undo(health_clip)
    quiet(mu.clip_health_report, quiet(mu.open_clip, health_clip), out)
    assert "undone by 2" in (out / "index.html").read_text()


def test_report_of_an_edited_clip(health_clip, tmp_path):
    mu.swap_identities(health_clip, 1, 2, 20)
    mu.drop_track(health_clip, 3, 25, 29)
    clip = quiet(mu.open_clip, health_clip)
    assert "Box2" not in clip.animals(27) and "Box2" in clip.animals(24)
    overlap, zero, frames, _ = quiet(mu.generate_tracking_report, clip, str(tmp_path))
    report = (tmp_path / "tracking_question_report.csv").read_text()
    # Box2's empty masks of frames 25-29 went with its entries.
    assert "Box2" not in report
    _, dense = quiet(mu.get_gsam_annotation_data, None, save_dir_base=health_clip)
    assert list(dense[27]["masks_dict"]) == ["Box1", "Box0", "Box3", "Box4"]


def test_a_page_of_records_finds_the_log_beside_their_files(health_clip, tmp_path):
    mu.drop_track(health_clip, 5, 39)
    _, records = quiet(mu.get_gsam_annotation_data, None, save_dir_base=health_clip)
    page, _ = quiet(page_of, records, tmp_path)
    assert [r.operation for r in page.corrections] == ["drop_track"]
    (pathlib.Path(health_clip) / "corrections.jsonl").write_text("broken\n")
    page, _ = quiet(page_of, records, tmp_path)
    assert page.corrections == () and "malformed line 1 of the corrections log" in page.corrections_error


# ----------------------------------------------------------- command line


def run(argv, capsys):
    try:
        code = main(argv)
    except SystemExit as e:  # refused by the argument parser
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


def test_command_line(tmp_path, capsys):
    clip = tmp_path / "clip"
    make_clip(clip, "one line")
    before = files_of(clip)
    code, out, _ = run(["fix", "swap", str(clip), "1", "2", "--from", "3", "--to", "4"], capsys)
    assert code == 0
    assert out.splitlines() == [
        "Correction 1: swap_identities a=1 b=2 from_frame=3 to_frame=4: 2 file(s), frames 3-4",
        f"Logged in {clip / 'corrections.jsonl'}"]
    assert run(["fix", "relabel", str(clip), "10", "12", "--from", "5"], capsys)[0] == 0
    assert run(["fix", "drop", str(clip), "3", "--to", "0", "--durable"], capsys)[0] == 0
    assert run(["fix", "merge", str(clip), "12", "1", "--on-conflict", "keep"], capsys)[0] == 0
    code, out, _ = run(["fix", "history", str(clip)], capsys)
    lines = out.splitlines()
    assert len(lines) == 4 and lines[3].endswith("4: merge_tracks keep=12 other=1 on_conflict=keep: 6 file(s), "
                                                 "frames 0-5")
    for n in range(4, 0, -1):
        code, out, _ = run(["fix", "undo", str(clip)], capsys)
        assert code == 0 and out.startswith(f"Correction {9 - n}: undo edit={n}:")
    assert files_of(clip) == before
    assert "(undone by 5)" in run(["fix", "history", str(clip)], capsys)[1]
    assert run(["fix", "recover", str(clip)], capsys)[1] == f"No unfinished correction in {clip}.\n"
    assert run(["fix", "history", str(tmp_path)], capsys)[1] == f"No corrections in {tmp_path}.\n"


@pytest.mark.parametrize("argv, text", [
    (["fix", "swap", "{clip}", "1", "2"], "the following arguments are required: --from"),
    (["fix", "swap", "{clip}", "1", "1", "--from", "0"], "fix: error: cannot swap object id 1 with itself"),
    (["fix", "swap", "{clip}", "0", "1", "--from", "0"], "expected an object id from 1"),
    (["fix", "drop", "{clip}", "1", "--from", "-3"], "expected a frame number of at least 0, got -3"),
    (["fix", "merge", "{clip}", "1", "2"], "fix: error: object ids 1 and 2 are both present in 6 frame(s)"),
    (["fix", "undo", "{clip}"], "fix: error: nothing to undo"),
    (["fix", "advice", "{clip}/none"], "fix: error: no annotation files"),
])
def test_command_line_bad_input(tmp_path, capsys, argv, text):
    clip = tmp_path / "clip"
    make_clip(clip, "one line")
    code, out, err = run([a.format(clip=clip) for a in argv], capsys)
    assert code == 2 and text in err


def test_command_line_page_advice(health_clip, capsys):
    code, out, _ = run(["fix", "advice", health_clip], capsys)
    assert code == 0 and "Correction 1: apply_page_advice a=1 b=2 from_frame=20: 20 file(s), frames 20-39" in out
    code, out, _ = run(["fix", "advice", health_clip], capsys)
    assert code == 0 and "The page marks no swapped identities" in out
