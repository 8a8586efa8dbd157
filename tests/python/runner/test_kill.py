"""A run of the command line killed at random moments, then run again to the
end: the output is that of a run never stopped (annotation files, reports,
pages, summaries, the manifest without its times). The runs are processes
forked from a server that has imported the libraries once, so that each
costs its work and not the interpreter's start."""
import multiprocessing
import os
import random
import time

from .cases import differences, scene, tree, write_case

TRIALS = 10
PRELOAD = ["torch", "pandas", "matplotlib.figure", "jinja2", "mirelo_utils", "mirelo_utils.__main__",
           "stand_in_models", "runner.runner_child"]


def start(context, config, log):
    process = context.Process(target=_run, args=(str(config), str(log)))
    process.start()
    return process


def _run(config, log):
    from . import runner_child

    runner_child.track(config, log)


def test_a_run_killed_at_random_moments_is_finished_identically(runner_case, tmp_path):
    _, reference = runner_case
    want = tree(reference)
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(PRELOAD)
    rng = random.Random(2024)
    # The time of a whole run in a forked process, once the server is up.
    timing = tmp_path / "timing"
    config = write_case(timing, scene())
    start(context, write_case(tmp_path / "warm", scene(), output="warm"), tmp_path / "warm.log").join()
    began = time.monotonic()
    process = start(context, config, tmp_path / "timing.log")
    process.join()
    whole = time.monotonic() - began
    assert process.exitcode == 0, (tmp_path / "timing.log").read_text()
    kills = []
    for trial in range(TRIALS):
        folder = tmp_path / f"trial{trial}"
        folder.mkdir()
        (folder / "recordings").symlink_to(timing / "recordings")
        config = write_case(folder, scene())
        process = start(context, config, folder / "killed.log")
        at = rng.uniform(0.05, 0.95) * whole
        process.join(at)
        if process.is_alive():
            process.kill()
            process.join()
            kills.append(round(at, 2))
        process = start(context, config, folder / "rerun.log")
        process.join()
        assert process.exitcode == 0, (folder / "rerun.log").read_text()
        got = tree(folder / "tracking")
        assert differences(got, want) == [], (trial, at)
        assert not [name for name in os.listdir(folder / "tracking") if name.endswith(".tmp")]
    # Most trials stop the run part-way (the rest finish before the kill).
    assert len(kills) >= TRIALS // 2, kills
