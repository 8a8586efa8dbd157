"""A fixed-seed sample of every fuzz target: each parser and file reader
takes mutated inputs without crashing, hanging or failing with anything but
an ordinary exception. Long runs: see fuzz.py."""
import pytest

import fuzz
import fuzz_targets

SEED = 20240601


@pytest.mark.parametrize("name", sorted(fuzz_targets.TARGETS))
def test_fuzz_sample(name):
    target = fuzz_targets.TARGETS[name]
    findings = fuzz.run_sample(name, SEED, target.sample_size, timeout=120)
    assert not findings, "\n".join(findings)
