import sys

import numpy as np
import pandas as pd
import pytest

matplotlib = pytest.importorskip("matplotlib", reason="matplotlib is not installed (scripts/setup.sh installs it)")
pytest.importorskip("seaborn", reason="seaborn is not installed (scripts/setup.sh installs it)")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import mirelo_utils as mu  # noqa: E402


@pytest.fixture
def shows(monkeypatch):
    """Records plt.show() calls (Agg cannot show and would warn)."""
    calls = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: calls.append(plt.gcf()))
    yield calls
    plt.close("all")


def heatmap_of(table, shows):
    mu.draw_intersection_heatmap(table)
    assert len(shows) == 1
    fig = shows[0]
    heat = fig.axes[0]
    return fig, heat


def test_heatmap_settings(shows):
    table = pd.DataFrame(
        [[0.0, 100.0, 150.0], [12.345, 0.0, np.nan], [0.004, 99.999, 0.0]],
        index=["Box7", "Box2", "Box9"],
        columns=["Box7", "Box2", "Box9"],
    )
    fig, heat = heatmap_of(table, shows)
    assert tuple(fig.get_size_inches()) == (7, 5)
    labels = ["Mask 0", "Mask 1", "Mask 2"]
    assert [t.get_text() for t in heat.get_xticklabels()] == labels
    assert [t.get_text() for t in heat.get_yticklabels()] == labels
    assert heat.get_title() == "Intersection Heatmap %"
    assert heat.get_xlabel() == "Mask 2" and heat.get_ylabel() == "Mask 1"

    # Annotations in row-major order from the top row; the absent cell is blank.
    texts = [t.get_text() for t in heat.texts]
    assert texts == ["0.00", "100.00", "150.00", "12.35", "0.00", "0.00", "100.00", "0.00"]
    assert {t.get_fontsize() for t in heat.texts} == {8}

    mesh = heat.collections[0]
    assert mesh.get_clim() == (0, 100)
    assert mesh.get_cmap().name == "Reds"
    assert mesh.get_linewidth()[0] == 0.5
    assert tuple(mesh.get_edgecolor()[0]) == matplotlib.colors.to_rgba("gray")
    # Row 0 at the top, cells square, a colour bar beside the heatmap.
    assert heat.yaxis_inverted()
    assert heat.get_aspect() == 1.0
    assert len(fig.axes) == 2
    # Above-range values take the darkest colour, like 100.
    colours = mesh.get_facecolors()
    assert np.allclose(colours[1], colours[2])
    assert np.allclose(colours[0], mesh.get_cmap()(0.0))


def test_heatmap_opens_a_new_figure_each_time(shows):
    before = plt.figure()
    heatmap_of(np.eye(2) * 100, shows)
    assert shows[0] is not before
    assert [t.get_text() for t in shows[0].axes[0].texts] == ["100.00", "0.00", "0.00", "100.00"]


@pytest.mark.parametrize(
    "table, error",
    [
        (pd.DataFrame([["a", 1.0], [2.0, 3.0]]), TypeError),
        (pd.DataFrame([[1 + 2j, 1.0], [2.0, 3.0]]), TypeError),
        (np.array([["1", "2"], ["3", "4"]]), TypeError),
        (pd.DataFrame([[pd.Timestamp(0), 1.0], [2.0, 3.0]]), TypeError),
        (pd.DataFrame(np.zeros((2, 3))), ValueError),
        (np.zeros(3), ValueError),
        (np.zeros((2, 2, 2)), ValueError),
    ],
)
def test_heatmap_rejects_bad_tables(shows, table, error):
    with pytest.raises(error, match="intersections_df"):
        mu.draw_intersection_heatmap(table)
    assert shows == []


@pytest.mark.parametrize("table", [
    pd.DataFrame([[0, np.float32(5.5)], [None, True]], dtype=object),
    pd.DataFrame({"a": pd.array([0.0, None], dtype="Float64"), "b": pd.array([5.5, 1.0], dtype="Float64")}),
    pd.DataFrame({"a": pd.array([0, pd.NA], dtype="Int64"), "b": pd.array([5.5, 1], dtype="object")}),
])
def test_heatmap_accepts_object_cells_that_are_numbers(shows, table):
    _, heat = heatmap_of(table, shows)
    assert [t.get_text() for t in heat.texts] == ["0.00", "5.50", "1.00"]


def test_mask_visual_draws_squeezed_mask_in_current_figure(shows):
    fig = plt.figure()
    mask = np.zeros((1, 6, 9), dtype=bool)
    mask[0, 2:4, 3:7] = True
    mu.video_segments_mask_visual({0: {1: mask}, 5: {}}, 0, 1)
    assert plt.gcf() is fig and shows == []
    image = fig.axes[0].images[0]
    assert image.get_array().shape == (6, 9)
    assert np.array_equal(np.asarray(image.get_array()), mask[0])


@pytest.mark.parametrize(
    "frame_idx, object_id, match",
    [(1, 1, "frame_idx 1 is not a frame"), (0, 2, "object_id 2 is not an object of frame 0"),
     (5, 1, "object_id 1"), (None, 1, "frame_idx None"), (0, "", "object_id ''")],
)
def test_mask_visual_missing_keys(shows, frame_idx, object_id, match):
    with pytest.raises(KeyError, match=match):
        mu.video_segments_mask_visual({0: {1: np.ones((4, 4))}, 5: {}}, frame_idx, object_id)


def test_missing_plotting_library_names_the_extra(shows, monkeypatch):
    monkeypatch.setitem(sys.modules, "seaborn", None)
    with pytest.raises(ImportError, match=r"mirelo_utils\[plots\]"):
        mu.draw_intersection_heatmap(np.zeros((2, 2)))
    mu.video_segments_mask_visual({0: {0: np.ones((3, 3))}}, 0, 0)  # needs matplotlib only
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="video_segments_mask_visual needs matplotlib"):
        mu.video_segments_mask_visual({0: {0: np.ones((3, 3))}}, 0, 0)
