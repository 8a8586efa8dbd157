"""track_recordings on generated recordings of three windows with the
stand-in models: the identity chain across windows, the recording's page
and table, recovery from a failed hand-over, refusal of changed settings,
--from-window and --restart, and resumption after an interruption."""
import json

import numpy as np
import pandas as pd
import pytest

import mirelo_utils as mu
from mirelo_utils._runner import page as recording_page
from mirelo_utils._runner.manifest import Manifest
from .cases import CLIP_FRAMES, RECORDING, differences, scene, tree, write_case

import pen_pipeline  # noqa: E402 - from examples, on the path through cases


def manifest_of(out):
    return json.loads((out / RECORDING / "manifest.json").read_text(encoding="utf-8"))


def window_records(out, k):
    return mu.open_clip(str(out / RECORDING / f"window_{k:03d}" / "annotations"))


def truth(the_scene, k, clip_frame, size):
    """The scene's animals at clip frame `clip_frame` of window k (the frame
    extraction reads each window's first frame only to find the marker)."""
    return the_scene.truth(k * CLIP_FRAMES + 1 + clip_frame, size)


def frame_size(records):
    h, w = next(iter(records[0]["masks_dict"].values())).shape
    return w, h


def test_identity_chain_across_windows(runner_case):
    config, out = runner_case
    manifest = manifest_of(out)
    windows = manifest["windows"]
    assert [w["state"] for w in windows] == ["handed over"] * 3
    assert [w["start"]["from"] for w in windows] == ["detector", "hand-over", "hand-over"]
    assert windows[0]["start"]["objects"] == list(range(1, 11))
    the_scene = scene()
    for k in range(2):
        hand, after = windows[k]["hand_over"], windows[k + 1]["start"]
        assert not hand["failed"] and after["objects"] == [int(key[3:]) + 1 for key in hand["carried"]]
        before, now = window_records(out, k), window_records(out, k + 1)
        size = frame_size(before)
        best = next(key for key, r in before.items() if r["frame_index"] == hand["best_frame"])
        # Each carried track lies on the same animal at the best last frame
        # and on the next window's first frame.
        ended = pen_pipeline.identities(before, best, truth(the_scene, k, hand["best_frame"], size))
        began = pen_pipeline.identities(now, 0, truth(the_scene, k + 1, 0, size))
        assert set(began) == set(hand["carried"])
        assert all(began[key] == ended[key] is not None for key in hand["carried"])
        # The annotation files carry the track ids on.
        first = json.loads((out / RECORDING / f"window_{k + 1:03d}" / "annotations" / "output_pp_0.json").read_text())
        assert [d["object_id"] for d in first["detections"]] == after["objects"]
    # The animal under the roof is dropped at the first hand-over, not renumbered.
    assert windows[0]["hand_over"]["removed"] == ["Box3"] and windows[1]["hand_over"]["removed"] == []
    assert "Box3" not in windows[0]["hand_over"]["carried"]


def test_recording_page_and_table_show_the_windows(runner_case):
    config, out = runner_case
    folder = out / RECORDING
    manifest = Manifest.read(str(folder / "manifest.json"))
    summaries = [json.loads((folder / f"window_{k:03d}" / "summary.json").read_text()) for k in range(3)]
    page = recording_page.build_page(manifest, summaries, RECORDING, lambda k: f"window_{k:03d}/health/index.html")
    assert [w.start for w in page.windows] == ["detector", "hand-over", "hand-over"]
    assert [w.tracks for w in page.windows] == [10, 9, 9] and page.breaks == () and page.unfinished == 0
    assert page.frames == sum(w["frames"] for w in manifest.windows)
    assert page.boundaries == (page.windows[1].position, page.windows[2].position)
    lines = {t.track: t for t in page.tracks}
    assert lines["Box3"].confidence[1:] == (None, None) and lines["Box0"].confidence == (1.0, 1.0, 1.0)
    for k, summary in enumerate(summaries):
        for a in summary["animals"]:
            assert lines[a["track"]].confidence[k] == a["confidence"]
    kinds = [(e.window, e.kind, e.track) for e in page.events]
    assert (1, "vanished", "Box3") in kinds and (1, "dropped", "Box3") in kinds
    assert all(b.first <= b.last for t in page.tracks for b in t.bars)

    table = pd.read_csv(folder / "timeline.csv")
    assert list(table.columns) == recording_page.CSV_COLUMNS
    clips = table[table["Event"] == "clip"]
    assert len(clips) == 10 + 9 + 9
    assert clips.groupby("Window")["Track"].apply(list).to_dict()[2] == [f"Box{i}" for i in range(10) if i != 3]
    events = table[table["Event"] != "clip"]
    assert [tuple(r) for r in events[["Window", "Event", "Track"]].itertuples(index=False)] == \
        [(e.window, e.kind, e.track) for e in page.events]
    html = (folder / "index.html").read_text(encoding="utf-8")
    assert html == recording_page.render(page)
    for k in range(3):
        assert f'href="window_{k:03d}/health/index.html"' in html
    assert "None: every hand-over carried the tracks on." in html


def test_page_escapes_names_from_files():
    manifest = Manifest("m.json", {"recording": {"file_path": "<b>x</b>.mp4"}, "windows": [
        {"start_min": 0, "end_min": 1, "folder": "f", "state": "handed over", "frames": 3,
         "start": {"from": "detector", "frame": 0, "objects": [1]}, "hand_over": None}]})
    summary = {"first_frame": 0, "last_frame": 2, "frames": 3, "episodes": [], "vanished": [], "analysis": None,
               "animals": [{"track": "<i>Box0</i>", "confidence": 0.25}], "advice": {}}
    html = recording_page.render(recording_page.build_page(manifest, [summary], "<script>", lambda k: "p.html"))
    assert "<script>" not in html and "&lt;script&gt;" in html and "&lt;i&gt;Box0&lt;/i&gt;" in html
    assert "<b>x</b>" not in html


def test_failed_hand_over_starts_new_tracks_from_the_detector(tmp_path, one_thread):
    # The animal under the roof stays in its track (nothing is dropped) and
    # comes out again early in the second window.
    config = write_case(tmp_path, scene(returns=1.2), {"hand_over": {"min_count": 100}})
    table = mu.track_recordings(config, progress=False)
    out = tmp_path / "tracking"
    windows = manifest_of(out)["windows"]
    hand = windows[0]["hand_over"]
    assert hand["failed"] and ("rejected" in hand["reason"] or "fewer animals" in hand["reason"])
    second = windows[1]["start"]
    assert second["from"] == "detector" and second["objects"] == list(range(11, 21)) and second["frame"] > 0
    # The new tracks are handed over in turn.
    assert windows[2]["start"]["from"] == "hand-over" and set(windows[2]["start"]["objects"]) <= set(range(11, 21))
    assert list(table["Tracks from"]) == ["detector", "detector", "hand-over"]
    # Never renumbered silently: the break is on the page and in the table,
    # with its frame and its reason.
    csv = pd.read_csv(out / RECORDING / "timeline.csv")
    brk = csv[csv["Event"] == "break"]
    assert list(brk["Window"]) == [2] and list(brk["First frame"]) == [second["frame"]]
    assert hand["reason"] in brk["Detail"].iloc[0] and "Box10" in brk["Detail"].iloc[0]
    # The new tracks' frames are the window's own, from the frame they start on.
    clips = csv[(csv["Event"] == "clip") & (csv["Window"] == 2)]
    assert set(clips["First frame"]) == {second["frame"]} and set(clips["Last frame"]) == {windows[1]["frames"] - 1}
    assert set(clips["Recording first frame"]) == {windows[0]["frames"] + second["frame"]}
    summary = json.loads((out / RECORDING / "window_001" / "summary.json").read_text())
    assert (summary["first_frame"], summary["last_frame"]) == (second["frame"], windows[1]["frames"] - 1)
    html = (out / RECORDING / "index.html").read_text(encoding="utf-8")
    assert "Breaks of identity" in html and f"Window 2, frame {second['frame']}:" in html
    first = json.loads((out / RECORDING / "window_001" / "annotations" / f"output_pp_{second['frame']}.json")
                       .read_text())
    assert [d["object_id"] for d in first["detections"]] == list(range(11, 21))
    # The animals the new tracks start on: all ten, V back out.
    records = window_records(out, 1)
    found = pen_pipeline.identities(records, 0, truth(scene(returns=1.2), 1, second["frame"], frame_size(records)))
    assert sorted(found.values()) == sorted(a.name for a in scene().animals)


def test_changed_settings_are_refused_naming_them(runner_case, one_thread, capsys):
    config, out = runner_case
    before = tree(out)
    text = config.read_text()
    changed = config.parent / "changed.toml"
    changed.write_text(text.replace("min_count = 0", "min_count = 1").replace(
        '"stand_in_models:make_models"', '"stand_in_models:make_models"\noptions = {"threads" = 2}'))
    with pytest.raises(mu.ConfigError) as e:
        mu.track_recordings(changed, progress=False)
    message = str(e.value)
    assert "hand_over.min_count: 0 before, 1 now" in message and "models.options.threads" in message
    assert "--restart" in message and "--from-window" in message
    from mirelo_utils.__main__ import main

    assert main(["track", str(changed), "--quiet"]) == 2
    assert "hand_over.min_count" in capsys.readouterr().err
    assert tree(out) == before  # nothing written


def test_from_window_keeps_the_windows_before_and_restart_redoes_all(tmp_path, one_thread):
    config = write_case(tmp_path, scene())
    out = tmp_path / "tracking"
    mu.track_recordings(config, progress=False)
    first = tree(out)
    config.write_text(config.read_text().replace("min_count = 0", "min_count = 100"))
    with pytest.raises(mu.ConfigError, match="--from-window 4: recording .* has 3 windows"):
        mu.track_recordings(config, from_window=4, progress=False)
    mu.track_recordings(config, from_window=3, progress=False)
    redone = tree(out)
    windows = manifest_of(out)["windows"]
    # Window 1 as it was, window 2 checked and handed over again (its page
    # names the new settings), window 3 tracked again (the same tracks).
    changed = differences(first, redone)
    assert not [k for k in changed if "window_000" in k]
    assert any("window_001/health" in k for k in changed) and any("window_002/health" in k for k in changed)
    assert windows[0]["made"] != windows[2]["made"]
    assert windows[1]["hand_over"]["removed"] == []
    manifest = manifest_of(out)
    assert manifest["made_with"]["settings"]["hand_over.min_count"] == 100
    assert set(manifest["earlier"]) == {windows[0]["made"]}

    mu.track_recordings(config, restart=True, progress=False)
    fresh = tmp_path / "fresh"
    fresh.mkdir()
    (fresh / "recordings").symlink_to(tmp_path / "recordings")
    mu.track_recordings(write_case(fresh, scene(), {"hand_over": {"min_count": 100}}), progress=False)
    assert differences(tree(out), tree(fresh / "tracking")) == []


class Interrupt(Exception):
    pass


@pytest.mark.parametrize("call, after", [
    ("write_annotation_file", 30),  # window 2 tracked, its annotation files half written
    ("matcher", 1),  # window 3 cut by the hand-over of window 2, which did not finish
    ("initializer", 0),  # window 1 cut, no tracks yet
])
def test_an_interrupted_run_is_finished_by_the_next(runner_case, tmp_path, monkeypatch, one_thread, call, after):
    config = write_case(tmp_path, scene())
    out = tmp_path / "tracking"
    real = getattr(mu._core, call)
    calls = []

    def interrupted(*args, **kwargs):
        calls.append(1)
        if len(calls) > after:
            raise Interrupt(call)
        return real(*args, **kwargs)

    monkeypatch.setattr(mu._core, call, interrupted)
    with pytest.raises(Interrupt):
        mu.track_recordings(config, progress=False)
    monkeypatch.undo()
    states = [w["state"] for w in manifest_of(out)["windows"]]
    assert states != ["handed over"] * 3
    mu.track_recordings(config, progress=False)
    assert differences(tree(out), tree(runner_case[1])) == []


def test_progress_lines_and_bar():
    import io

    from mirelo_utils._runner.progress import Progress, clock_text

    log = io.StringIO()
    p = Progress(log)
    p.add_windows(3, finished=1)
    p.window_done("rec window 2/3", "12 frames", 12, 2.0)
    assert log.getvalue() == "[2/3] rec window 2/3: 12 frames; 2.0 s, 6.0 frames/s; 0:02 left\n"

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    screen = Terminal()
    bar = Progress(screen)
    bar.add_windows(2)
    bar.frames(5)
    bar.window_done("rec window 1/2", "5 frames", 5, 1.0)
    bar.close()
    text = screen.getvalue()
    assert text.startswith("\r[") and "1/2 windows, 5 frames" in text and "0:01 left" in text
    assert text.endswith("\n") and "\n" not in text[:-1]
    assert [clock_text(s) for s in (0, 59.6, 61, 3600 + 62)] == ["0:00", "1:00", "1:01", "1:01:02"]
    assert np.isclose(bar.seconds, 1.0)


def test_annotation_files_are_those_of_the_plain_loop(runner_case, tmp_path, one_thread):
    """The runner refines and writes frame by frame, from masks held as
    runs: the files are those of the prototype's loop, which holds each
    window densely and refines it in one call."""
    import stand_in_models
    from reference.runner import plain_loop

    config, out = runner_case
    windows = [w["folder"] for w in manifest_of(out)["windows"]]
    hand_over = {"min_frame_id": 10, "area_threshold": 100, "min_count": 0}
    done = plain_loop(windows, str(tmp_path), stand_in_models.make_models(), str(config.parent / "pen_polygon.json"),
                      hand_over)
    assert [ids for _, ids, _ in done] == [w["start"]["objects"] for w in manifest_of(out)["windows"]]
    for k in range(3):
        ours = out / RECORDING / f"window_{k:03d}" / "annotations"
        theirs = tmp_path / f"window_{k:03d}" / "annotations"
        names = sorted(p.name for p in ours.iterdir())
        assert names == sorted(p.name for p in theirs.iterdir())
        assert all((ours / n).read_bytes() == (theirs / n).read_bytes() for n in names), k


def test_the_command_line_of_a_finished_run(runner_case, capsys, one_thread):
    from mirelo_utils.__main__ import main

    config, out = runner_case
    before = tree(out)
    assert main(["track", str(config)]) == 0
    captured = capsys.readouterr()
    page = out / RECORDING / "index.html"
    assert captured.out == f"{RECORDING}: 3 windows, 3 tracked, 0 break(s) of identity; page {page}\n"
    assert captured.err == ""  # nothing left to do: no window line
    assert tree(out) == before
