"""The two reference evaluations, run on the same files as evaluate_tracking:
TrackEval (per-sequence values of HOTA, Identity and CLEAR on its
MOTChallenge-box and MOTS datasets) and py-motmetrics. Both are imported only
here, by the tests that need them."""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import warnings

import numpy as np

SEQ = "seq"
TRACKER = "tracker"


def _layout(root: str, gt_file: str, pred_file: str) -> None:
    os.makedirs(os.path.join(root, "gt", SEQ, "gt"), exist_ok=True)
    os.makedirs(os.path.join(root, "trackers", TRACKER, "data"), exist_ok=True)
    shutil.copyfile(gt_file, os.path.join(root, "gt", SEQ, "gt", "gt.txt"))
    shutil.copyfile(pred_file, os.path.join(root, "trackers", TRACKER, "data", SEQ + ".txt"))


def trackeval_scores(gt_file: str, pred_file: str, frames: int, root: str, *, masks: bool,
                     threshold: float = 0.5) -> dict[str, float]:
    """TrackEval's per-sequence values, in the keys of evaluate_tracking's
    summary (plus the per-alpha arrays under "alpha_<name>"). Frames are
    1..frames."""
    import trackeval

    _layout(root, gt_file, pred_file)
    common = {
        "GT_FOLDER": os.path.join(root, "gt"),
        "TRACKERS_FOLDER": os.path.join(root, "trackers"),
        "TRACKERS_TO_EVAL": [TRACKER],
        "SEQ_INFO": {SEQ: frames},
        "SKIP_SPLIT_FOL": True,
        "PRINT_CONFIG": False,
    }
    with contextlib.redirect_stdout(io.StringIO()):
        if masks:
            dataset = trackeval.datasets.MOTSChallenge(common)
            cls = "pedestrian"
        else:
            dataset = trackeval.datasets.MotChallenge2DBox({**common, "BENCHMARK": "MOT17"})
            cls = "pedestrian"
        raw = dataset.get_raw_seq_data(TRACKER, SEQ)
        data = dataset.get_preprocessed_seq_data(raw, cls)
        hota = trackeval.metrics.HOTA().eval_sequence(data)
        clear = trackeval.metrics.CLEAR({"THRESHOLD": threshold, "PRINT_CONFIG": False}).eval_sequence(data)
        ident = trackeval.metrics.Identity({"THRESHOLD": threshold, "PRINT_CONFIG": False}).eval_sequence(data)
    out = {name: float(np.mean(hota[name])) for name in ("HOTA", "DetA", "AssA", "LocA")}
    out.update({name: float(ident[name]) for name in ("IDF1", "IDP", "IDR")})
    out.update({name: float(clear[name]) for name in ("MOTA", "MOTP", "IDSW", "Frag", "MT", "PT", "ML")})
    for name in ("HOTA", "DetA", "AssA", "LocA"):
        out["alpha_" + name] = np.asarray(hota[name], dtype=float)
    out.update({"IDTP": float(ident["IDTP"]), "IDFN": float(ident["IDFN"]), "IDFP": float(ident["IDFP"])})
    return out


def motmetrics_scores(gt_file: str, pred_file: str, threshold: float = 0.5) -> dict[str, float]:
    """py-motmetrics' values for two MOTChallenge box files, as fractions and
    counts in the keys of evaluate_tracking (its MOTP, a distance, turned
    into the IoU TrackEval reports)."""
    import motmetrics as mm

    # Its own deprecation warnings (pandas 3 and NumPy 2 retire what it
    # calls) are not this library's.
    with _asfarray(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return _motmetrics(mm, gt_file, pred_file, threshold)


@contextlib.contextmanager
def _asfarray():
    """py-motmetrics 1.4.0 (the latest) calls numpy.asfarray, which NumPy 2
    removed, in its IoU matrix; it is given back for the call only."""
    had = hasattr(np, "asfarray")
    if not had:
        np.asfarray = lambda a, dtype=np.float64: np.asarray(a, dtype=dtype)  # type: ignore[attr-defined]
    try:
        yield
    finally:
        if not had:
            del np.asfarray


def _motmetrics(mm, gt_file: str, pred_file: str, threshold: float) -> dict[str, float]:
    gt = mm.io.loadtxt(gt_file, fmt="mot15-2D", min_confidence=1)
    ts = mm.io.loadtxt(pred_file, fmt="mot15-2D")
    acc = mm.utils.compare_to_groundtruth(gt, ts, "iou", distth=1 - threshold)
    names = ["idf1", "idp", "idr", "mota", "motp", "num_switches", "num_fragmentations",
             "mostly_tracked", "partially_tracked", "mostly_lost"]
    summary = mm.metrics.create().compute(acc, metrics=names, name="seq")
    row = summary.loc["seq"]
    return {
        "IDF1": float(row["idf1"]), "IDP": float(row["idp"]), "IDR": float(row["idr"]),
        "MOTA": float(row["mota"]), "MOTP": 1.0 - float(row["motp"]),
        "IDSW": float(row["num_switches"]), "Frag": float(row["num_fragmentations"]),
        "MT": float(row["mostly_tracked"]), "PT": float(row["partially_tracked"]), "ML": float(row["mostly_lost"]),
    }
