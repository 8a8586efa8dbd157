"""Corrections that do not finish: editors killed at random moments (the
next reader or editor finds the clip wholly before or wholly after the
edit), a write killed inside a file, an edit failing part-way, a second
editor refused while one works, readers waiting for it, and a lock left by
a dead process taken over."""
import contextlib
import io
import json
import os
import pathlib
import random
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from PIL import Image

import mirelo_utils as mu
from mirelo_utils.__main__ import main

FRAMES = 40
IDS = (1, 2, 3, 4)
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def polygon(k, f):
    x, y = 0.05 + 0.2 * (k - 1), 0.1 + 0.01 * (f % 10)
    return f"0 {x:.6f} {y:.6f} {x + 0.1:.6f} {y:.6f} {x + 0.1:.6f} {y + 0.2:.6f} {x:.6f} {y + 0.2:.6f}"


def make_clip(folder, frames=FRAMES, pad=0):
    """A small clip: a 32 x 48 frame image and annotation files of four
    animals, every other file indented; `pad` bytes of another member
    before the detections."""
    folder.mkdir(parents=True)
    Image.new("RGB", (48, 32)).save(folder / "frame.png")
    for f in range(frames):
        doc = {"image_path": str(folder / "frame.png"), "pad": "p" * pad, "detections": [
            {"object_id": k, "score": 0.50, "xyxy": [[1, 2, 3, 4]], "formatted_polygon": [polygon(k, f)]}
            for k in IDS]}
        text = json.dumps(doc, indent=2 if f % 2 else None).replace("0.5,", "0.50,")
        (folder / f"output_pp_{f}.json").write_text(text)
    return str(folder)


def files_of(folder):
    return {p.name: p.read_bytes() for p in pathlib.Path(folder).glob("output_pp_*.json")}


def quiet(call, *args, **kwargs):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = call(*args, **kwargs)
    return result, out.getvalue()


# Edits without end: every moment of the loop is inside an edit, or between two.
LOOP = """
import sys
import mirelo_utils as mu
clip = sys.argv[1]
print("ready", flush=True)
while True:
    mu.swap_identities(clip, 1, 2, 10, 30)
    mu.undo(clip)
    mu.drop_track(clip, 3, 5)
    mu.undo(clip)
"""


def states_of(template, scratch):
    """The three states the loop goes through: as made, swapped, dropped."""
    states = {"before": files_of(template)}
    for name, edit in (("swapped", lambda c: mu.swap_identities(c, 1, 2, 10, 30)),
                       ("dropped", lambda c: mu.drop_track(c, 3, 5))):
        clip = scratch / name
        shutil.copytree(template, clip)
        edit(str(clip))
        states[name] = files_of(clip)
    return states


def next_reader(kind, clip):
    """The next process to open the clip, by `kind`; returns what it printed."""
    if kind == "open_clip":
        return quiet(mu.open_clip, clip)[1]
    if kind == "dense load":
        return quiet(mu.get_gsam_annotation_data, None, save_dir_base=clip)[1]
    if kind == "history":
        return quiet(mu.history, clip)[1]
    if kind == "health page":
        return quiet(mu._health.build_page, clip, str(pathlib.Path(clip).parent / "page"), None,
                     mu._health.PageOptions(expected_animals=4))[1]
    # An editor: it settles the clip before it refuses the id it cannot find.
    out = io.StringIO()
    with pytest.raises(ValueError, match="object id 99 is in no annotation file"), contextlib.redirect_stdout(out):
        mu.drop_track(clip, 99)
    return out.getvalue()


def test_editors_killed_at_random_moments_leave_the_clip_wholly_before_or_after(tmp_path):
    template = pathlib.Path(make_clip(tmp_path / "template"))
    states = states_of(template, tmp_path)
    (tmp_path / "page").mkdir()
    rng = random.Random(20240517)
    kinds = ["open_clip", "dense load", "history", "health page", "editor"]
    interrupted, seen = 0, set()
    for trial in range(30):
        clip = tmp_path / f"trial{trial}"
        shutil.copytree(template, clip)
        child = subprocess.Popen([sys.executable, "-c", LOOP, str(clip)], stdout=subprocess.PIPE, env=ENV)
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.0, 0.25))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        had_journal = (clip / ".corrections" / "journal").exists()
        kind = kinds[trial % len(kinds)]
        printed = next_reader(kind, str(clip))
        if had_journal:
            interrupted += 1
            assert "the interrupted correction" in printed
        assert not (clip / ".corrections" / "journal").exists()
        now = files_of(clip)
        state = next((name for name, files in states.items() if files == now), None)
        assert state is not None, f"trial {trial}: the files are in no state the edits go through"
        seen.add(state)
        # The log agrees: the corrections still applied are those of the state.
        applied = [c.operation for c in mu.history(clip) if c.operation != "undo" and c.undone_by is None]
        assert applied == {"before": [], "swapped": ["swap_identities"], "dropped": ["drop_track"]}[state]
        # An undo takes it back to the very bytes it had before.
        if applied:
            mu.undo(clip)
            assert files_of(clip) == states["before"]
        if applied or kind == "editor":  # editors sweep what a killed write left
            assert not [n for n in os.listdir(clip) if n.endswith(".tmp")]
    print(f"{interrupted} of 30 kills fell inside an edit; states seen: {sorted(seen)}")
    assert interrupted >= 5, f"only {interrupted} of 30 kills fell inside an edit"
    assert len(seen) >= 2


def test_a_write_killed_inside_a_file_is_finished_by_the_next_reader(tmp_path):
    clip = make_clip(tmp_path / "clip", frames=3, pad=8000)
    before = files_of(clip)
    text = (pathlib.Path(clip) / "output_pp_0.json").read_text()
    limit = text.index('"object_id": 1') + 16
    # The system stops the editor (SIGXFSZ) as it writes past `limit` bytes
    # of a file: in the middle of the first file's ids.
    code = f"""
import resource, signal, sys
import mirelo_utils as mu
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
mu.swap_identities(sys.argv[1], 1, 4, 0)
"""
    killed = subprocess.run([sys.executable, "-c", code, clip], env=ENV)
    assert killed.returncode == -signal.SIGXFSZ
    torn = files_of(clip)
    assert torn != before and (pathlib.Path(clip) / ".corrections" / "journal").exists()

    _, printed = quiet(mu.open_clip, clip)
    assert printed == (f"Finished the interrupted correction 1 (swap_identities "
                       f'{{"a": 1, "b": 4, "from_frame": 0, "to_frame": null}}) of {clip!r}\n')
    assert [c.edit for c in mu.history(clip)] == [1]
    mu.undo(clip)
    assert files_of(clip) == before


def test_a_file_changed_after_the_kill_is_refused_until_given_up(tmp_path, capsys):
    clip = make_clip(tmp_path / "clip", frames=3, pad=8000)
    before = files_of(clip)
    limit = (pathlib.Path(clip) / "output_pp_0.json").read_text().index('"object_id": 1') + 16
    code = f"""
import resource, signal, sys
import mirelo_utils as mu
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))
mu.swap_identities(sys.argv[1], 1, 4, 0)
"""
    assert subprocess.run([sys.executable, "-c", code, clip], env=ENV).returncode == -signal.SIGXFSZ
    hand = pathlib.Path(clip) / "output_pp_0.json"
    hand.write_text(hand.read_text().replace('"score": 0.50', '"score": 0.75'))
    message = "cannot be finished: 'output_pp_0.json' was changed since it began"
    with pytest.raises(ValueError, match=message + ".*python -m mirelo_utils fix recover .* --abandon"):
        mu.open_clip(clip)
    with pytest.raises(ValueError, match=message):
        mu.get_gsam_annotation_data(None, save_dir_base=clip)
    assert main(["fix", "recover", clip]) == 2
    assert message in capsys.readouterr().err
    assert main(["fix", "recover", clip, "--abandon"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("Gave up the unfinished correction 1 (swap_identities") and "'output_pp_0.json'" in out
    now = files_of(clip)
    assert now["output_pp_1.json"] == before["output_pp_1.json"] and now["output_pp_0.json"] == hand.read_bytes()
    assert mu.history(clip) == [] and quiet(mu.open_clip, clip)[0] is not None


def test_an_edit_failing_part_way_puts_back_the_files_it_changed(tmp_path):
    clip = make_clip(tmp_path / "clip", frames=6)
    before = files_of(clip)
    locked = pathlib.Path(clip) / "output_pp_4.json"
    if subprocess.run(["chattr", "+i", str(locked)], capture_output=True).returncode != 0:
        pytest.skip("the file system cannot make a file immutable (chattr +i)")
    try:
        with pytest.raises(PermissionError, match="output_pp_4.json"):
            mu.drop_track(clip, 2, 1)
    finally:
        subprocess.run(["chattr", "-i", str(locked)], check=True)
    assert files_of(clip) == before
    assert mu.history(clip) == [] and not (pathlib.Path(clip) / ".corrections" / "journal").exists()
    mu.drop_track(clip, 2, 1)


def hold_lock(clip, operation="swap_identities"):
    """A process holding the clip's lock as an editor does, until killed."""
    code = f"""
import fcntl, os, socket, sys, time
os.makedirs(os.path.join(sys.argv[1], ".corrections"), exist_ok=True)
f = open(os.path.join(sys.argv[1], ".corrections", "lock"), "a+")
fcntl.flock(f, fcntl.LOCK_EX)
f.truncate(0)
f.write(f"{{os.getpid()}} {{socket.gethostname()}} 2026-01-01T00:00:00Z {operation}\\n")
f.flush()
print("ready", flush=True)
time.sleep(60)
"""
    child = subprocess.Popen([sys.executable, "-c", code, clip], stdout=subprocess.PIPE)
    assert child.stdout.readline() == b"ready\n"
    return child


def test_a_second_editor_is_refused_and_readers_wait(tmp_path):
    clip = make_clip(tmp_path / "clip", frames=4)
    before = files_of(clip)
    holder = hold_lock(clip)
    try:
        with pytest.raises(OSError, match=f"is being edited by process {holder.pid} \\(swap_identities, since "
                                          "2026-01-01T00:00:00Z\\); nothing was changed"):
            mu.swap_identities(clip, 1, 2, 0)
        assert main(["fix", "undo", clip]) == 2
        assert files_of(clip) == before
        # A reader waits for the editor; the kernel drops the lock of the
        # process killed meanwhile, and the reader goes on.
        timer = threading.Timer(0.4, holder.kill)
        timer.start()
        start = time.monotonic()
        clip_read, _ = quiet(mu.open_clip, clip)
        assert time.monotonic() - start >= 0.35 and len(clip_read) == 4
    finally:
        holder.kill()
        holder.wait()
        holder.stdout.close()
    # The dead editor's note is still in the lock file: its lock is taken over.
    assert str(holder.pid) in (pathlib.Path(clip) / ".corrections" / "lock").read_text()
    mu.swap_identities(clip, 1, 2, 0)
    assert (pathlib.Path(clip) / ".corrections" / "lock").read_text() == ""


def test_an_editor_waits_for_readers(tmp_path):
    clip = make_clip(tmp_path / "clip", frames=4)
    mu.swap_identities(clip, 1, 2, 0)  # the lock file exists from now on
    code = """
import fcntl, sys, time
f = open(sys.argv[1], "r")
fcntl.flock(f, fcntl.LOCK_SH)
print("ready", flush=True)
time.sleep(0.4)
"""
    reader = subprocess.Popen([sys.executable, "-c", code, os.path.join(clip, ".corrections", "lock")],
                              stdout=subprocess.PIPE)
    try:
        assert reader.stdout.readline() == b"ready\n"
        start = time.monotonic()
        mu.undo(clip)
        assert time.monotonic() - start >= 0.2
    finally:
        reader.wait()
        reader.stdout.close()
