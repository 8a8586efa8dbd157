// Mask overlays, boxes and labels, and contrast enhancement of animal crops.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "common/errors.hpp"
#include "convert.hpp"
#include "drawing.hpp"
#include "visual/draw.hpp"

using namespace nb::literals;

namespace mirelo::py {
namespace {

nb::object draw_masks_on_image_py(nb::handle image, nb::handle masks) {
  ImagePixels in = to_drawing_pixels(image, "image");
  std::vector<PlaneInput> inputs = to_plane_list(masks, "masks");
  const std::vector<PlaneView> planes = planes_of(inputs);
  return new_rgba_image(in.pixels.rows, in.pixels.cols, [&](cv::Mat& out) {
    draw_masks_on_image(DrawingBase{in.pixels, in.padded}, planes, out);
  });
}

nb::object img_bbx_drawing_py(nb::handle image, nb::handle mask_dict) {
  return boxes_drawing(image, to_plane_dict(mask_dict, "mask_dict"));
}

nb::object enhance_dark_text_py(nb::handle image_pil, nb::handle gamma) {
  nb::object pil = as_pil(image_pil);
  cv::Mat rgb = pil_to_rgb(pil);
  const double gv = to_real(gamma, "gamma");
  cv::Mat out;
  {
    nb::gil_scoped_release release;
    out = enhance_dark_text(rgb, gv);
  }
  if (rgb.empty())  // the pixel copy of an empty image keeps no size
    return nb::module_::import_("PIL.Image").attr("new")("L", pil.attr("size"));
  return mat_to_pil(out);
}

}  // namespace

nb::object boxes_drawing(nb::handle image, const PlaneDictInput& masks) {
  ImagePixels in = to_drawing_pixels(image, "image");
  const std::vector<PlaneView> planes = planes_of(masks.planes);
  return new_rgba_image(in.pixels.rows, in.pixels.cols, [&](cv::Mat& out) {
    img_bbx_drawing(DrawingBase{in.pixels, in.padded}, masks.texts, planes, out);
  });
}

nb::object boxes_drawing(nb::handle image, const std::vector<std::string>& keys,
                         const std::vector<const RunMask*>& masks) {
  ImagePixels in = to_drawing_pixels(image, "image");
  return new_rgba_image(in.pixels.rows, in.pixels.cols, [&](cv::Mat& out) {
    img_bbx_drawing(DrawingBase{in.pixels, in.padded}, keys, masks, out);
  });
}

void init_visual(nb::module_& m) {
  m.def("draw_masks_on_image", &draw_masks_on_image_py, "image"_a, "masks"_a,
        nb::sig("def draw_masks_on_image(image: PIL.Image.Image | numpy.ndarray, "
                "masks: collections.abc.Sequence[numpy.ndarray] | numpy.ndarray) -> PIL.Image.Image"),
        R"(Paint every mask onto an image as a half-transparent colour overlay.

Each mask gets the colour of its position k in ``masks``: three integers in
[0, 255] from a Mersenne Twister seeded with k + 42, the values
``numpy.random.RandomState(k + 42).randint(0, 256, 3)`` gives. NumPy's global
random state is neither used nor changed. The overlay colour has alpha 128;
where masks overlap the later one's colour replaces the earlier one's, and
the overlay is composited over the image ("over", as
``PIL.Image.alpha_composite``).

Args:
    image: PIL image of any mode, or an H x W x 3 (RGB) / H x W x 4 (RGBA)
        uint8 array.
    masks: list of 2-D masks (bool or any numeric dtype; pixels greater than
        zero are painted; 1 x H x W allowed), or an N x H x W array. Mask
        pixels outside the image are ignored.

Returns:
    A new PIL image, mode "RGBA", of the image's size.

Raises:
    TypeError: The image is neither a PIL image nor a uint8 array, or a mask
        is not an array of numbers.
    ValueError: An image array with other than 1 to 4 channels, or a mask
        that is not 2-D.
)");
  m.def("img_bbx_drawing", &img_bbx_drawing_py, "image"_a, "mask_dict"_a,
        nb::sig("def img_bbx_drawing(image: PIL.Image.Image | numpy.ndarray, "
                "mask_dict: collections.abc.Mapping[str, numpy.ndarray]) -> PIL.Image.Image"),
        R"(Draw mask overlays, each mask's tight box and a label with its key.

First the overlays of ``draw_masks_on_image`` (masks in key order), then per
mask: its box (smallest to largest column and row of its non-zero pixels,
inclusive; (0, 0, 0, 0) for an empty mask) outlined 3 pixels wide inside the
box corners, a filled label background on the box's upper-left corner and the
key in white. Box and label background use the mask's overlay colour, opaque:
the colour for position k comes from a generator seeded with k + 42 and equals
``numpy.random.RandomState(k + 42).randint(0, 256, 3)``; NumPy's global random
state is neither used nor changed.

The label font is "arial.ttf" at 11 pixels, looked up as Pillow's
``ImageFont.truetype`` does (current folder, then the user's and the
system's font folders) and loaded once per process; when it cannot be
loaded, a DejaVu Sans font built into the library is used.

Args:
    image: PIL image of any mode, or an H x W x 3 (RGB) / H x W x 4 (RGBA)
        uint8 array.
    mask_dict: mapping of mask key (e.g. "Box0") to 2-D mask (bool or any
        numeric dtype; 1 x H x W allowed), drawn in the mapping's order.

Returns:
    A new PIL image, mode "RGBA", of the image's size.

Raises:
    TypeError: The image is neither a PIL image nor a uint8 array, or a mask
        is not an array of numbers.
    ValueError: An image array with other than 1 to 4 channels, or a mask
        that is not 2-D.
)");
  m.def("enhance_dark_text", &enhance_dark_text_py, "image_pil"_a, "gamma"_a = 1.5,
        nb::sig("def enhance_dark_text(image_pil: PIL.Image.Image | numpy.ndarray, gamma: float = 1.5) "
                "-> PIL.Image.Image"),
        R"(Contrast-enhanced grayscale of an image, to make dark marks stand out.

The luminance (0.299 R + 0.587 G + 0.114 B, rounded to 8 bits) goes through
the gamma table ``uint8(((i / 255) ** (1 / gamma)) * 255)``, then through a
global histogram equalisation (OpenCV ``equalizeHist``).

Args:
    image_pil: PIL image (converted to "RGB" first) or an H x W x 3 uint8
        RGB array.
    gamma: positive number; values above 1 lift dark tones.

Returns:
    A new PIL image, mode "L", of the image's size.

Raises:
    ZeroDivisionError: ``gamma`` is 0.
    ValueError: ``gamma`` is negative or NaN.
)");
}

}  // namespace mirelo::py
