"""Overlays, boxes and labels against the same drawing made with NumPy and
Pillow step by step."""
import os
import shutil

import numpy as np
import pytest
from PIL import Image, ImageDraw, ImageFont

import mirelo_utils as mu

DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
needs_dejavu = pytest.mark.skipif(not os.path.exists(DEJAVU), reason="DejaVu Sans not installed")


def colour(k):
    return tuple(int(v) for v in np.random.RandomState(k + 42).randint(0, 256, 3))


def reference_overlay(image, masks):
    image = image.convert("RGBA")
    overlay = np.zeros((image.height, image.width, 4), np.uint8)
    overlay[...] = (255, 255, 255, 0)
    for k, mask in enumerate(masks):
        mask = np.asarray(mask)
        if mask.ndim == 3:
            mask = mask[0]
        rows, cols = np.nonzero(mask > 0)
        inside = (rows < image.height) & (cols < image.width)
        overlay[rows[inside], cols[inside]] = colour(k) + (128,)
    return Image.alpha_composite(image, Image.fromarray(overlay, "RGBA"))


def reference_drawing(image, mask_dict, font):
    image = reference_overlay(image, list(mask_dict.values()))
    draw = ImageDraw.Draw(image)
    for k, (key, mask) in enumerate(mask_dict.items()):
        rows, cols = np.nonzero(np.asarray(mask).reshape(np.shape(mask)[-2:]))
        box = (int(cols.min()), int(rows.min()), int(cols.max()), int(rows.max())) if len(rows) else (0, 0, 0, 0)
        draw.rectangle(box, outline=colour(k), width=3)
        x1, y1, x2, y2 = draw.textbbox(box[:2], str(key), font=font)
        w, h = x2 - x1, y2 - y1
        draw.rectangle([box[0], box[1] - h - 4, box[0] + w + 4, box[1]], fill=colour(k))
        draw.text((box[0] + 2, box[1] - h - 4), str(key), fill="white", font=font)
    return image


def pixels(image):
    return np.asarray(image)


def random_masks(rng, shape, n, dtype=bool):
    masks = []
    for _ in range(n):
        m = np.zeros(shape, dtype)
        y0, x0 = rng.integers(0, shape[0] - 2), rng.integers(0, shape[1] - 2)
        m[y0 : y0 + rng.integers(1, 30), x0 : x0 + rng.integers(1, 40)] = 1
        m[rng.random(shape) < 0.02] = 1
        masks.append(m)
    return masks


@pytest.fixture
def frame(rng):
    return rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)


@pytest.mark.parametrize(
    "make_image",
    [
        pytest.param(lambda a, rng: Image.fromarray(a), id="RGB"),
        pytest.param(lambda a, rng: a, id="RGB array"),
        pytest.param(lambda a, rng: Image.fromarray(np.dstack([a, rng.integers(0, 256, a.shape[:2], dtype=np.uint8)])),
                     id="RGBA random alpha"),
        pytest.param(lambda a, rng: np.dstack([a, rng.integers(0, 256, a.shape[:2], dtype=np.uint8)]), id="RGBA array"),
        pytest.param(lambda a, rng: Image.fromarray(a).convert("L"), id="L"),
        pytest.param(lambda a, rng: Image.fromarray(a).convert("P"), id="P"),
        pytest.param(lambda a, rng: Image.fromarray(a).convert("LA"), id="LA"),
        pytest.param(lambda a, rng: a[..., 0].copy(), id="gray array"),
    ],
)
def test_overlay_matches_pillow_compositing(make_image, frame, rng):
    image = make_image(frame, rng)
    masks = random_masks(rng, frame.shape[:2], 6)
    pil = image if isinstance(image, Image.Image) else Image.fromarray(image)
    out = mu.draw_masks_on_image(image, masks)
    assert out.mode == "RGBA" and out.size == pil.size
    np.testing.assert_array_equal(pixels(out), pixels(reference_overlay(pil, masks)))


def test_compositing_rounding_over_every_lower_pixel():
    # Every lower value against every lower alpha, under the overlays of
    # several positions: the integer rounding must be the imaging library's.
    v, a = np.meshgrid(np.arange(256, dtype=np.uint8), np.arange(256, dtype=np.uint8))
    lower = Image.fromarray(np.dstack([v, 255 - v, v // 3 + a // 2, a]), "RGBA")
    full = np.ones((256, 256), bool)
    for position in range(4):
        masks = [np.zeros((256, 256), bool)] * position + [full]
        np.testing.assert_array_equal(pixels(mu.draw_masks_on_image(lower, masks)),
                                      pixels(reference_overlay(lower, masks)))


@pytest.mark.parametrize(
    "convert",
    [
        pytest.param(lambda m: m.astype(np.uint8) * 255, id="uint8 255"),
        pytest.param(lambda m: m.astype(np.int16) - (~m).astype(np.int16), id="int16 with -1"),
        pytest.param(lambda m: np.where(m, 0.5, np.where(np.arange(m.shape[1]) % 2, -2.0, np.nan)), id="float NaN"),
        pytest.param(lambda m: m.astype(np.uint16) * 300, id="uint16"),
        pytest.param(lambda m: np.where(m, 1.5, -1.0).astype(np.float16), id="float16"),
        pytest.param(lambda m: np.where(m, 2, -3).astype(np.longdouble), id="longdouble"),
        pytest.param(lambda m: np.where(m, 1j, -1 + 0j).astype(np.complex64), id="complex, ordered as numpy orders it"),
        pytest.param(lambda m: np.where(m, 3, -3).astype(">i4"), id="foreign byte order"),
        pytest.param(lambda m: m[None], id="1 x H x W"),
        pytest.param(lambda m: np.asfortranarray(m), id="fortran order"),
        pytest.param(lambda m: m[:, ::-1], id="reversed view"),
    ],
)
def test_mask_dtypes_and_layouts_paint_pixels_above_zero(convert, frame, rng):
    masks = random_masks(rng, frame.shape[:2], 3)
    converted = [convert(m) for m in masks]
    expected = reference_overlay(Image.fromarray(frame), [np.asarray(c).reshape(frame.shape[:2]) for c in converted])
    np.testing.assert_array_equal(pixels(mu.draw_masks_on_image(frame, converted)), pixels(expected))


def test_masks_as_one_stacked_array(frame, rng):
    masks = random_masks(rng, frame.shape[:2], 4)
    np.testing.assert_array_equal(pixels(mu.draw_masks_on_image(frame, np.stack(masks))),
                                  pixels(mu.draw_masks_on_image(frame, masks)))


@pytest.mark.parametrize("shape", [(20, 30), (48, 64), (70, 90), (10, 100)])
def test_mask_of_another_size_is_drawn_as_far_as_it_reaches(shape, frame, rng):
    masks = random_masks(rng, shape, 3)
    np.testing.assert_array_equal(pixels(mu.draw_masks_on_image(frame, masks)),
                                  pixels(reference_overlay(Image.fromarray(frame), masks)))


def test_empty_list_and_empty_masks(frame):
    rgba = Image.fromarray(frame).convert("RGBA")
    np.testing.assert_array_equal(pixels(mu.draw_masks_on_image(frame, [])), pixels(rgba))
    hit = np.zeros(frame.shape[:2], bool)
    hit[5, 5] = True
    # An empty mask still takes its position: the next mask gets colour 1.
    out = mu.draw_masks_on_image(rgba, [np.zeros_like(hit), hit])
    assert pixels(out)[5, 5].tolist() == pixels(reference_overlay(rgba, [np.zeros_like(hit), hit]))[5, 5].tolist()
    only = mu.draw_masks_on_image(Image.new("RGBA", (64, 48), (0, 0, 0, 0)), [np.zeros_like(hit), hit])
    assert pixels(only)[5, 5].tolist() == list(colour(1)) + [128]


def test_colours_leave_numpy_global_state_alone(frame, rng):
    np.random.seed(7)
    before = np.random.get_state()
    mu.img_bbx_drawing(frame, {"Box0": random_masks(rng, frame.shape[:2], 1)[0]})
    after = np.random.get_state()
    assert before[0] == after[0] and np.array_equal(before[1], after[1]) and before[2:] == after[2:]


def test_result_is_an_ordinary_writable_image(frame):
    out = mu.draw_masks_on_image(frame, [])
    out.load()[0, 0] = (1, 2, 3, 4)
    assert out.getpixel((0, 0)) == (1, 2, 3, 4)
    ImageDraw.Draw(out).point((1, 1), fill=(9, 9, 9, 9))
    assert out.getpixel((1, 1)) == (9, 9, 9, 9)


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_drawing_shares_no_pixels_with_the_image(mode, frame, rng):
    image = Image.fromarray(frame).convert(mode)
    before = pixels(image).copy()
    out = mu.draw_masks_on_image(image, random_masks(rng, frame.shape[:2], 2))
    drawn = pixels(out).copy()
    out.load()[0, 0] = (1, 2, 3, 4)
    image.paste((0, 0, 0), (0, 0, 64, 48))
    np.testing.assert_array_equal(pixels(image)[..., :3], 0)
    assert pixels(out)[1:].tolist() == drawn[1:].tolist() and not (before == 0).all()


@pytest.mark.parametrize("mode", ["RGB", "RGBA"])
def test_frames_too_large_to_lend_their_pixels_draw_the_same(mode, rng):
    # 2100 x 2100 pixels of four bytes outgrow one of the imaging library's
    # memory blocks: the frame's pixels are not lent and are read through a copy.
    tile = rng.integers(0, 256, (100, 100, len(mode)), dtype=np.uint8)
    image = Image.fromarray(np.tile(tile, (21, 21, 1)), mode)
    masks = [np.zeros((2100, 2100), bool), np.zeros((2100, 2100), np.uint8)]
    masks[0][2000:2090, 1500:2100] = True
    masks[1][1990:2010, 10:2050] = 1
    out = mu.draw_masks_on_image(image, masks)
    np.testing.assert_array_equal(pixels(out), pixels(reference_overlay(image, masks)))
    out.load()[0, 0] = (1, 2, 3, 4)


def test_same_masks_same_image(frame, rng):
    md = {f"Box{i}": m for i, m in enumerate(random_masks(rng, frame.shape[:2], 4))}
    np.testing.assert_array_equal(pixels(mu.img_bbx_drawing(frame, md)), pixels(mu.img_bbx_drawing(frame, md)))


def box_masks(shape):
    """Masks for the drawing cases: ordinary, touching the top edge, one
    pixel, one row, empty, a non-text key, negative values, larger than
    the image."""
    def box(x0, y0, x1, y1, dtype=bool):
        m = np.zeros(shape, dtype)
        m[y0 : y1 + 1, x0 : x1 + 1] = 1
        return m

    larger = np.zeros((shape[0] + 20, shape[1] + 20), bool)
    larger[shape[0] - 10 : shape[0] + 15, shape[1] - 30 : shape[1] + 5] = True  # box runs off the image
    negative = box(40, 40, 55, 50, np.int32)
    negative[30:35, 20:25] = -3  # boxed (non-zero) but not painted (not above zero)
    return {
        "Box0": box(10, 30, 40, 70),
        "Box1": box(45, 0, 90, 20),
        "Box2": box(100, 60, 100, 60),
        "Box3": box(5, 80, 60, 80),
        "Box4": np.zeros(shape, np.uint8),
        7: box(70, 70, 110, 95)[None],
        "Box6": negative,
        "Box7": larger,
    }


@needs_dejavu
@pytest.mark.parametrize("channels", [3, 4])
def test_drawing_matches_pillow_with_the_same_font(channels, tmp_path, monkeypatch, rng):
    shutil.copy(DEJAVU, tmp_path / "arial.ttf")
    monkeypatch.chdir(tmp_path)
    image = Image.fromarray(rng.integers(0, 256, (100, 120, channels), dtype=np.uint8))
    md = box_masks((100, 120))
    font = ImageFont.truetype("arial.ttf", 11, layout_engine=ImageFont.Layout.BASIC)
    out = mu.img_bbx_drawing(image, md)
    assert out.mode == "RGBA" and out.size == image.size
    np.testing.assert_array_equal(pixels(out), pixels(reference_drawing(image, md, font)))


def arial_found_by_pillow():
    try:
        ImageFont.truetype("arial.ttf", 11)
        return True
    except OSError:
        return False


@needs_dejavu
def test_without_arial_labels_use_the_built_in_dejavu(tmp_path, monkeypatch, rng):
    if arial_found_by_pillow():
        pytest.skip("arial.ttf is installed")
    monkeypatch.chdir(tmp_path)
    image = Image.fromarray(rng.integers(0, 256, (100, 120, 3), dtype=np.uint8))
    md = box_masks((100, 120))
    font = ImageFont.truetype(DEJAVU, 11, layout_engine=ImageFont.Layout.BASIC)
    np.testing.assert_array_equal(pixels(mu.img_bbx_drawing(image, md)), pixels(reference_drawing(image, md, font)))


def test_label_sits_on_the_box_corner_in_white(rng):
    mask = np.zeros((80, 100), bool)
    mask[40:70, 30:90] = True
    out = pixels(mu.img_bbx_drawing(Image.new("RGB", (100, 80)), {"Box0": mask}))
    c = list(colour(0)) + [255]
    assert out[40, 30].tolist() == c and out[42, 89].tolist() == c and out[43, 33].tolist() != c  # 3-pixel outline
    above = out[25:40, 30:70]
    assert (above == c).all(-1).sum() > 100  # label background
    assert (above[..., :3].min(-1) > 160).sum() > 15  # label text, light over the background
    assert (out[:22, :, :3] == 0).all()  # nothing higher up


def test_first_key_and_first_list_mask_share_a_colour(frame):
    mask = np.zeros(frame.shape[:2], bool)
    mask[20:30, 20:30] = True
    assert pixels(mu.img_bbx_drawing(frame, {"x": mask}))[25, 25].tolist() == \
        pixels(mu.draw_masks_on_image(frame, [mask]))[25, 25].tolist()


M = np.zeros((8, 8), bool)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: mu.draw_masks_on_image("image", [M]), TypeError, "PIL image or a uint8 image array"),
        (lambda: mu.draw_masks_on_image(np.zeros((8, 8, 3)), [M]), TypeError, "uint8"),
        (lambda: mu.draw_masks_on_image(np.zeros((8, 8, 5), np.uint8), [M]), ValueError, "channels"),
        (lambda: mu.draw_masks_on_image(M.view(np.uint8), {"Box0": M}), TypeError, "list of masks"),
        (lambda: mu.draw_masks_on_image(M.view(np.uint8), [M, None]), TypeError, r"masks\[1\]"),
        (lambda: mu.draw_masks_on_image(M.view(np.uint8), [np.zeros((2, 8, 8))]), ValueError, "2-D mask"),
        (lambda: mu.draw_masks_on_image(M.view(np.uint8), [np.zeros((8, 8), object)]), TypeError, "dtype"),
        (lambda: mu.img_bbx_drawing(M.view(np.uint8), [M]), TypeError, "mapping"),
        (lambda: mu.img_bbx_drawing(M.view(np.uint8), {"Box0": "mask"}), TypeError, "Box0"),
        # zero-size arrays whose sides or channels do not fit the imaging code's int
        (lambda: mu.draw_masks_on_image(np.empty((0, 2**32 + 5, 3), np.uint8), []), ValueError, "rows and columns"),
        (lambda: mu.img_bbx_drawing(np.empty((2**32 + 5, 0, 4), np.uint8), {}), ValueError, "rows and columns"),
        (lambda: mu.enhance_dark_text(np.empty((0, 0, 2**32 + 3), np.uint8)), ValueError, "got 4294967299"),
    ],
)
def test_bad_input_raises(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


def test_masks_without_columns_are_not_walked_row_by_row():
    image = np.full((4, 4, 3), 9, np.uint8)
    tall = np.empty((2**40, 0), np.uint8)
    assert np.asarray(mu.draw_masks_on_image(image, [tall, np.empty((1, 2**40, 0))])).tolist() == \
        np.asarray(mu.draw_masks_on_image(image, [])).tolist()
    assert mu.img_bbx_drawing(image, {"Box0": tall}).size == (4, 4)


def test_empty_image():
    out = mu.img_bbx_drawing(np.zeros((0, 5, 3), np.uint8), {"Box0": np.ones((3, 3), bool)})
    assert out.mode == "RGBA" and out.size == (5, 0)
