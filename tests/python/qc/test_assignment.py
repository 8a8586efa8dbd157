"""The tracking scores' assignment solver gives scipy's pairs, ties included:
every small matrix of few distinct costs, and random ones."""
import itertools

import numpy as np
import pytest

from mirelo_utils import _core

if not hasattr(_core, "_scores"):
    pytest.skip("module built without the tests' entry points (MIRELO_BUILD_TESTS=OFF)", allow_module_level=True)
scipy_optimize = pytest.importorskip("scipy.optimize", reason="scipy is not installed (scripts/setup.sh installs it)")


def assert_same_pairs(cost):
    want = scipy_optimize.linear_sum_assignment(cost)
    got = _core._scores.linear_sum_assignment(cost)
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]), cost


@pytest.mark.parametrize("shape", [(2, 2), (3, 3), (2, 3), (3, 2), (1, 4), (4, 1)])
def test_every_small_matrix_of_costs_0_to_2(shape):
    for values in itertools.product([0.0, 1.0, 2.0], repeat=shape[0] * shape[1]):
        assert_same_pairs(np.array(values).reshape(shape))


def test_random_matrices_with_and_without_ties(rng):
    for _ in range(3000):
        rows, cols = rng.integers(1, 12, 2)
        if rng.random() < 0.5:
            cost = rng.integers(0, 3, (rows, cols)) * rng.choice([1.0, 0.1, -1 / 3])
        else:
            cost = rng.random((rows, cols))
        assert_same_pairs(cost)


def test_infinite_costs_and_bad_matrices():
    assert_same_pairs(np.array([[np.inf, 1.0], [2.0, np.inf]]))
    assert_same_pairs(np.zeros((0, 3)))
    for bad, match in ((np.array([[np.nan]]), "invalid numeric entries"), (np.array([[-np.inf]]), "invalid numeric"),
                       (np.array([[np.inf, np.inf], [1.0, 2.0]]), "infeasible")):
        with pytest.raises(ValueError, match=match):
            _core._scores.linear_sum_assignment(bad)
