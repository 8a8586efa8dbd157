"""Identity-health pages of many clips on a LocalCluster of two worker processes, against a loop over the clips."""
import contextlib
import io
import os

import pandas as pd
import pytest

import mirelo_utils as mu
from test_health import write_clip

pytest.importorskip("matplotlib", reason="matplotlib is not installed (scripts/setup.sh installs it)")
pytest.importorskip("distributed", reason="distributed is not installed (scripts/setup.sh installs it)")


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    root = tmp_path_factory.mktemp("clips")
    empty, broken = root / "empty", root / "broken"
    empty.mkdir()
    broken.mkdir()
    (broken / "output_pp_0.json").write_text("{not json")
    return {"a": write_clip(root / "a" / "GSAM2_output"), "b": write_clip(root / "b" / "GSAM2_output", frames=24),
            "empty": str(empty), "broken": str(broken)}


def printed(call):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = call()
    return result, out.getvalue()


def files(folder):
    out = {}
    for name in sorted(os.listdir(folder) if os.path.exists(folder) else []):
        with open(os.path.join(folder, name), "rb") as f:
            out[name] = f.read()
    return out


def test_pages_tables_and_messages_as_a_loop_over_the_clips(cluster_client, clips, tmp_path):
    dirs = [clips["a"], clips["empty"], clips["b"]]
    serial = [str(tmp_path / "serial" / str(i)) for i in range(3)]
    cluster = [str(tmp_path / "cluster" / str(i)) for i in range(3)]
    # Hand-over settings scaled to the short clips reach the workers: the pages must match.
    scaled = dict(min_frame_id=20, min_count=2, max_attempts=3)
    tables, serial_out = printed(lambda: [mu.clip_health_report(d, o, **scaled) for d, o in zip(dirs, serial)])
    combined, cluster_out = printed(lambda: mu.clip_health_reports_on_cluster(dirs, cluster, cluster_client, **scaled))

    assert cluster_out.replace(str(tmp_path / "cluster"), "OUT") == serial_out.replace(str(tmp_path / "serial"), "OUT")
    assert "No JSON files found in" in cluster_out
    expected = pd.concat([t.reset_index().assign(Clip=d) for d, t in zip(dirs, tables) if t is not None],
                         ignore_index=True)
    expected = expected[["Clip", *expected.columns[:-1]]]
    pd.testing.assert_frame_equal(combined, expected)
    assert combined.attrs["unchecked"] == {clips["empty"]: "no annotation files"}
    for s, c in zip(serial, cluster):
        assert files(c) == files(s)
    assert not os.path.exists(cluster[1])  # a clip without annotation files: its folder is taken back
    assert "after frame 20): <b>Box2</b>" in (tmp_path / "cluster" / "0" / "index.html").read_text(encoding="utf-8")


def test_a_failing_clip_is_reported_and_the_others_finish(cluster_client, clips, tmp_path):
    dirs = [clips["broken"], clips["a"], clips["b"]]
    outs = [str(tmp_path / name) for name in ("broken", "a", "b")]
    with pytest.raises(Exception) as failure:
        mu.clip_health_reports_on_cluster(dirs, outs, cluster_client, messages="summary")
    assert failure.value.__notes__[0].startswith("failures: 1;")
    assert os.path.exists(os.path.join(outs[1], "index.html")) and os.path.exists(os.path.join(outs[2], "index.html"))

    combined, out = printed(lambda: mu.clip_health_reports_on_cluster(dirs, outs, cluster_client,
                                                                      messages="summary", errors="report"))
    assert list(combined["Clip"].unique()) == [clips["a"], clips["b"]]
    assert combined.attrs["unchecked"][clips["broken"]].startswith(type(failure.value).__name__)
    lines = sorted(out.splitlines())
    assert lines[0].startswith("[") and len(lines) == 3
    assert any(f"{clips['a']}: 5 animals" in line for line in lines)
    assert any(f"{clips['broken']}: failed: " in line for line in lines)


@pytest.mark.parametrize(
    "clip_dirs, out_dirs, error, message",
    [
        ("clip", ["o"], TypeError, "expected a sequence of folder paths for clip_dirs, got str"),
        (["a", 5], ["o", "p"], TypeError, "expected folder paths .* in clip_dirs, got int"),
        (["a", "b"], ["o"], ValueError, "expected one out_dir per clip folder, got 1 for 2 clips"),
        (["a", "b"], ["o", "./o"], ValueError, "expected a different out_dir for each clip"),
    ],
)
def test_bad_folders(cluster_client, clip_dirs, out_dirs, error, message):
    with pytest.raises(error, match=message):
        mu.clip_health_reports_on_cluster(clip_dirs, out_dirs, cluster_client)


def test_names_that_are_not_utf8(cluster_client, clips, tmp_path, capsys):
    import pathlib
    import shutil

    clip = os.fsdecode(bytes(tmp_path) + b"/clip\xff")
    shutil.copytree(clips["b"], clip)
    out = os.fsdecode(bytes(tmp_path) + b"/out\xfe")
    combined = mu.clip_health_reports_on_cluster([clip], [out], cluster_client, messages="summary")
    assert list(combined["Clip"].unique()) == [clip]
    assert capsys.readouterr().out == f"[1/1] {tmp_path}/clip\\xff: 5 animals\n"
    assert "Identity health: " in (pathlib.Path(out) / "index.html").read_text(encoding="utf-8")
