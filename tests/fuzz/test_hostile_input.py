"""No public function crashes the interpreter or hangs, whatever it is given.

A fixed-seed sample of the hostile-input cases of hostile_inputs.py (every
entry point in turn, one to three arguments swapped for hostile values), run
in a worker process so that a segfault, an abort or a hang shows up as a
failed case instead of taking the test run down. Every call must return or
raise an exception other than SystemError, with a message.
"""
import json
import os

import pytest

import hostile_inputs

SEED = 20240601
CASES = 2000


@pytest.mark.skipif(bool(os.environ.get("MIRELO_SANITIZED")),
                    reason="address-space limit: AddressSanitizer needs terabytes of address space for its shadow memory")
def test_hostile_inputs_end_in_results_or_ordinary_exceptions():
    failures = hostile_inputs.run(seed=SEED, count=CASES, timeout=20.0, memory_limit=3 << 30)
    report = "\n".join(json.dumps(f, default=str)[:600] for f in failures)
    assert not failures, f"{len(failures)} of {CASES} hostile cases failed:\n{report}"
