"""Several recordings at once on a Dask cluster: one chain of window tasks
per recording, the same output as the run on this machine."""
import pytest

import mirelo_utils as mu
from .cases import EXAMPLES, RECORDING, differences, scene, tree, write_case

SECOND = RECORDING.replace("063000", "073000")


def test_recordings_side_by_side_give_the_serial_output(runner_case, cluster_client, tmp_path, capsys, one_thread):
    _, reference = runner_case
    config = write_case(tmp_path, scene(), {"recordings": {"sub_dirs": ["", "later"]}})
    (tmp_path / "recordings" / "later").mkdir()
    (tmp_path / "recordings" / "later" / f"{SECOND}.mp4").symlink_to(tmp_path / "recordings" / f"{RECORDING}.mp4")
    table = mu.track_recordings_on_cluster(config, cluster_client)
    out = tmp_path / "tracking"
    got = tree(out)
    want = tree(reference)
    # The first recording as the serial run made it; the second the same,
    # but for its name.
    ours = {k: v for k, v in got.items() if k.startswith(RECORDING)}
    assert differences(ours, {k: v for k, v in want.items() if k.startswith(RECORDING)}) == []
    theirs = {k.replace(SECOND, RECORDING): v.replace(SECOND.encode(), RECORDING.encode()).replace(
        b"/later/", b"/") for k, v in got.items() if k.startswith(SECOND)}
    assert differences(theirs, {k: v for k, v in want.items() if k.startswith(RECORDING)}) == []
    assert list(table["Recording"]) == [RECORDING] * 3 + [SECOND] * 3
    assert list(table["Tracks from"]) == ["detector", "hand-over", "hand-over"] * 2
    assert set(table.attrs["pages"]) == {RECORDING, SECOND} and table.attrs["unfinished"] == {}
    lines = capsys.readouterr().out.splitlines()
    # One line per window, in run order.
    assert [line.split(":")[0] for line in lines] == [f"{name} window {k}/3 ({a}-{b} min)" for name in
                                                      (RECORDING, SECOND) for k, (a, b) in
                                                      enumerate([("0", "0.025"), ("0.025", "0.05"),
                                                                 ("0.05", "0.075")], 1)]
    # Run again: nothing left to do, nothing changed.
    mu.track_recordings_on_cluster(config, cluster_client, messages="summary")
    assert capsys.readouterr().out == ""
    assert tree(out) == got


def test_refusals_and_bad_calls_before_any_task(runner_case, cluster_client):
    config, out = runner_case
    before = tree(out)
    changed = config.parent / "cluster_changed.toml"
    changed.write_text(config.read_text().replace("step = 1", "step = 2"))
    with pytest.raises(mu.ConfigError, match="initialisation.step: 1 before, 2 now"):
        mu.track_recordings_on_cluster(changed, cluster_client)
    with pytest.raises(ValueError, match="messages"):
        mu.track_recordings_on_cluster(config, cluster_client, messages="some")
    with pytest.raises(TypeError, match="distributed.Client"):
        mu.track_recordings_on_cluster(config, "tcp://nowhere:1")
    assert tree(out) == before


def test_a_failing_recording_does_not_stop_the_others(cluster_client, tmp_path, capsys, one_thread):
    from pathlib import Path

    config = write_case(tmp_path, scene(), {
        "recordings": {"sub_dirs": ["", "later"]},
        "models": {"factory": "failing_models:make_models", "options": {"fail_on": SECOND},
                   "paths": [str(Path(__file__).parent), str(EXAMPLES)]},
    })
    (tmp_path / "recordings" / "later").mkdir()
    (tmp_path / "recordings" / "later" / f"{SECOND}.mp4").symlink_to(tmp_path / "recordings" / f"{RECORDING}.mp4")
    table = mu.track_recordings_on_cluster(config, cluster_client, errors="report", messages="summary")
    assert table.attrs["unfinished"] == {SECOND: f"RuntimeError: out of memory on {SECOND}"}
    states = {name: [s if isinstance(s, str) else None for s in rows["State"]]
              for name, rows in table.groupby("Recording")}
    assert states[RECORDING] == ["handed over"] * 3 and states[SECOND] == ["cut", None, None]
    out = capsys.readouterr().out
    assert f"failed: RuntimeError: out of memory on {SECOND}" in out
    assert out.count(f"failed: RuntimeError: not run: an earlier window of {SECOND} failed") == 2
    # The page of the unfinished recording says so.
    assert "3 window(s) not finished yet" in (tmp_path / "tracking" / SECOND / "index.html").read_text()
    with pytest.raises(RuntimeError, match="out of memory") as e:
        mu.track_recordings_on_cluster(config, cluster_client)
    assert "failures: 1" in str(e.value.__notes__)
