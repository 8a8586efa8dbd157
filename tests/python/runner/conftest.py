"""Fixtures of the runner's tests (the helpers are in cases.py)."""
import pytest

from .cases import scene, write_case


@pytest.fixture(scope="session")
def runner_case(tmp_path_factory):
    """A finished run on the three-window scene: (configuration, output folder)."""
    import torch

    import mirelo_utils as mu

    folder = tmp_path_factory.mktemp("runner_case")
    config = write_case(folder, scene())
    threads = torch.get_num_threads()
    try:
        mu.track_recordings(config, progress=False)
    finally:
        torch.set_num_threads(threads)
    return config, folder / "tracking"


@pytest.fixture
def one_thread():
    """The stand-ins' factory sets one torch thread; the test leaves torch as it found it."""
    import torch

    threads = torch.get_num_threads()
    yield
    torch.set_num_threads(threads)
