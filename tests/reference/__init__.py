"""Straightforward NumPy, OpenCV-Python and pandas versions of the library's
operations, written as a script would write them. The tests check the
library against them and the benchmarks (bench/) time the library beside
them, so both measure against the same code.

    measures   the intersection table, centroid clustering, motion scores
    annotation the masks of an annotation file
    ingest     the pen marker's box
    qc         the tracking report and the mask refinement
"""
