"""A run of the command line killed at random moments, then run again to the
end: the output is that of a run never stopped (annotation files, reports,
pages, summaries, the manifest without its times). The runs are processes
forked from a server that has imported the libraries once, so that each
costs its work and not the interpreter's start."""
import multiprocessing
import random
import time

from .cases import differences, scene, tree, write_case

TRIALS = 10
# The page's pictures and appearance evidence left out: the trials cost the
# steps, not the drawing.
LIGHT = {"checks": {"appearance": False, "max_pictured_episodes": 0}}
PRELOAD = ["torch", "pandas", "matplotlib.figure", "jinja2", "mirelo_utils", "mirelo_utils.__main__",
           "stand_in_models", "runner.runner_child"]


def start(context, config, log):
    process = context.Process(target=_run, args=(str(config), str(log)))
    process.start()
    return process


def _run(config, log):
    from . import runner_child

    runner_child.track(config, log)


def test_a_run_killed_at_random_moments_is_finished_identically(tmp_path):
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(PRELOAD)
    rng = random.Random(2024)
    # The time of a whole run in a forked process, once the server is up.
    timing = tmp_path / "timing"
    config = write_case(timing, scene(), LIGHT)
    start(context, write_case(tmp_path / "warm", scene(), LIGHT, output="warm"), tmp_path / "warm.log").join()
    began = time.monotonic()
    process = start(context, config, tmp_path / "timing.log")
    process.join()
    whole = time.monotonic() - began
    assert process.exitcode == 0, (tmp_path / "timing.log").read_text()
    want = tree(timing / "tracking")
    kills = []
    # Two trials at a time, one per core.
    for pair in range(0, TRIALS, 2):
        runs = []
        for trial in range(pair, min(pair + 2, TRIALS)):
            folder = tmp_path / f"trial{trial}"
            folder.mkdir()
            (folder / "recordings").symlink_to(timing / "recordings")
            config = write_case(folder, scene(), LIGHT)
            at = rng.uniform(0.05, 0.95) * whole
            runs.append((folder, config, at, time.monotonic() + at, start(context, config, folder / "killed.log")))
        for folder, config, at, deadline, process in sorted(runs, key=lambda run: run[3]):
            process.join(max(deadline - time.monotonic(), 0))
            if process.is_alive():
                process.kill()
                process.join()
                kills.append(round(at, 2))
        reruns = [(folder, at, start(context, config, folder / "rerun.log")) for folder, config, at, _, _ in runs]
        for folder, at, process in reruns:
            process.join()
            assert process.exitcode == 0, (folder / "rerun.log").read_text()
            assert differences(tree(folder / "tracking"), want) == [], (folder.name, at)
    # Most trials stop the run part-way (the rest finish before the kill).
    assert len(kills) >= TRIALS // 2, kills
