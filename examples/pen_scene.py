"""A generated pen recording for the main job (examples/pen_pipeline.py).

A fixed camera looks at a pen floor: ten pink animal-like shapes, each with
its own dark marking on the back, a feeder roof in one corner, a few pinkish
wet patches on the floor, and, right of the pen, an orange marker post and a
strip of the neighbouring pen. The scene runs for clips of equal length (two
by default) and holds two events, both in the first clip:

* the crossing: animals "A" and "B" walk past each other, side by side and
  touching, and end up on each other's side;
* the vanishing: animal "V" walks under the feeder roof and stays there (or,
  when told, comes out again later).

The recording is laid out for the frame extraction's crop rules: the pen
starts 120 pixels from the left edge and ends 45 pixels left of the orange
post, so the left crop is exactly the pen.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import cv2
import numpy as np

# Where the left crop starts, and the gap it leaves before the marker post.
CROP_LEFT = 120
CROP_GAP = 45

PINK = (160, 175, 222)  # BGR
FLOOR = (95, 115, 125)
ROOF = (40, 60, 85)
ORANGE = (0, 128, 255)


@dataclass
class Animal:
    name: str
    home: tuple[float, float]  # pen coordinates at scale 1
    heading: float  # degrees, 0 = facing right
    length: float = 56.0  # half length of the body
    marking: int = 0  # which of the dark markings it carries
    shade: int = 0  # small colour difference between animals


def _smoothstep(u: float) -> float:
    u = min(max(u, 0.0), 1.0)
    return u * u * (3 - 2 * u)


class PenScene:
    """Geometry, motion and drawing of the generated pen.

    Args:
        scale: 1.0 gives a 1280 x 720 recording with a 760 x 720 pen; 0.5
            halves every length except the crop offsets.
        fps: Frames per second of the recording.
        clip_frames: Frames per clip.
        clips: Clips of the recording.
        returns: When V walks out from under the roof again, in clip lengths
            from the start (1.2: a fifth into the second clip); None: never.
    """

    def __init__(self, scale: float = 1.0, fps: int = 8, clip_frames: int = 120, clips: int = 2,
                 returns: float | None = None):
        self.s = scale
        self.fps = fps
        self.clip_frames = clip_frames
        self.clips = clips
        self.returns = returns
        self.frames = clips * clip_frames
        self.pen_w = int(round(760 * scale))
        self.height = int(round(720 * scale))
        self.post_x = CROP_LEFT + self.pen_w + CROP_GAP
        self.width = self.post_x + int(round(24 * scale)) + int(round(300 * scale))
        self.width += self.width % 2
        self.roof = (560, 0, 760, 175)  # x0, y0, x1, y1 in pen coordinates at scale 1
        self.animals = [
            Animal("1", (100, 85), 0, marking=0, shade=0),
            Animal("2", (270, 95), 90, marking=1, shade=6),
            Animal("3", (420, 85), 180, length=52, marking=2, shade=-6),
            Animal("4", (110, 255), 170, marking=3, shade=4),
            Animal("5", (330, 250), 0, length=60, marking=4, shade=-3),
            Animal("V", (640, 270), 270, length=54, marking=5, shade=2),
            Animal("A", (150, 385), 0, marking=6, shade=-5),
            Animal("B", (610, 420), 180, length=60, marking=7, shade=5),
            Animal("6", (150, 600), 10, marking=8, shade=3),
            Animal("7", (420, 610), 185, length=60, marking=9, shade=-4),
        ]
        rng = np.random.default_rng(7)
        self.phase = {a.name: rng.uniform(0, 2 * math.pi, 3) for a in self.animals}
        # Wet patches (x, y, radius): a few beside the lane of the crossing,
        # close enough to the passing animals to get into their masks.
        self.patches = [(250, 347, 5), (400, 346, 4), (520, 347, 5), (230, 459, 5), (380, 460, 4),
                        (690, 560, 5), (600, 690, 4)]
        self.floor = self._floor()

    # -- geometry -------------------------------------------------------

    def pen_polygon(self) -> list[list[int]]:
        """The pen outline in frame pixels (the cropped frames' coordinates)."""
        s = self.s
        return [[int(14 * s), int(10 * s)], [int(746 * s), int(10 * s)],
                [int(752 * s), int(710 * s)], [int(8 * s), int(710 * s)]]

    def crop_window(self) -> tuple[int, int, int, int]:
        """The left crop the frame extraction derives from the marker post."""
        return (CROP_LEFT, 0, self.post_x - CROP_GAP, 1440)

    def pose(self, name: str, f: int) -> tuple[float, float, float]:
        """Centre (x, y) in pen coordinates at scale 1 and heading of an animal at recording frame f."""
        a = next(a for a in self.animals if a.name == name)
        t = f / self.fps
        p = self.phase[name]
        u = f / self.clip_frames  # position within the first clip, 0..1
        x = a.home[0] + 12 * math.sin(0.5 * t + p[0])
        y = a.home[1] + 9 * math.cos(0.4 * t + p[1])
        heading = a.heading + 12 * math.sin(0.3 * t + p[2])
        if name in ("A", "B"):
            # The crossing: from one side to the other between 20 % and 75 %
            # of the first clip, heads level, bodies touching while they pass.
            k = _smoothstep((u - 0.2) / 0.55)
            start, end = (150, 610) if name == "A" else (610, 150)
            x = start + (end - start) * k + 6 * math.sin(0.5 * t + p[0])
            y = a.home[1] + 3 * math.cos(0.4 * t + p[1])
            heading = a.heading + 4 * math.sin(0.3 * t + p[2])
        if name == "V":
            # The vanishing: up under the feeder roof between 55 % and 70 %
            # (and out again, when it returns).
            k = _smoothstep((u - 0.55) / 0.15)
            if self.returns is not None:
                k *= 1 - _smoothstep((u - self.returns) / 0.15)
            x = a.home[0] + 8 * math.sin(0.5 * t + p[0]) * (1 - k)
            y = a.home[1] - 200 * k + 5 * math.cos(0.4 * t + p[1]) * (1 - k)
            heading = a.heading
        return x, y, heading

    # -- drawing --------------------------------------------------------

    def _floor(self) -> np.ndarray:
        s, h, w = self.s, self.height, self.width
        rng = np.random.default_rng(3)
        img = np.full((h, w, 3), FLOOR, np.uint8)
        noise = rng.integers(0, 36, (max(h // 4, 1), max(w // 4, 1), 3), dtype=np.uint8)
        img = cv2.add(img, cv2.resize(cv2.GaussianBlur(noise, (0, 0), 1.2), (w, h)))
        img[:, :CROP_LEFT] = (60, 62, 66)  # the wall left of the pen
        left, right = CROP_LEFT, CROP_LEFT + self.pen_w
        img[:, right:] = cv2.add(img[:, right:], np.full_like(img[:, right:], 12))  # the neighbouring pen
        poly = np.array([[x + left, y] for x, y in self.pen_polygon()], np.int32)
        cv2.polylines(img, [poly], True, (70, 70, 70), max(int(4 * s), 1))
        for x, y, r in self.patches:
            cv2.ellipse(img, (left + int(x * s), int(y * s)), (max(int(r * s), 2), max(int(0.7 * r * s), 1)),
                        0, 0, 360, (165, 172, 218), -1)
        cv2.rectangle(img, (self.post_x, int(90 * s)), (self.post_x + int(24 * s), int(630 * s)), ORANGE, -1)
        for k, (x, y) in enumerate([(0.45, 0.25), (0.6, 0.7)]):  # animals of the neighbouring pen
            cx = self.post_x + int(24 * s) + int(x * 300 * s)
            cv2.ellipse(img, (cx, int(y * self.height)), (int(50 * s), int(24 * s)), 90 * k, 0, 360, PINK, -1)
        return img

    def _draw_animal(self, img, a: Animal, f: int, offset: float, value=None):
        s = self.s
        x, y, heading = self.pose(a.name, f)
        cx, cy = offset + x * s, y * s
        th = math.radians(heading)
        c, sn = math.cos(th), math.sin(th)
        colour = value if value is not None else tuple(int(v + a.shade) for v in PINK)
        L, W = a.length * s, 26 * s

        def pt(u, v):  # body coordinates (u along the heading, v across) to pixels
            return (int(round(cx + u * c - v * sn)), int(round(cy + u * sn + v * c)))

        cv2.ellipse(img, pt(0, 0), (int(L), int(W)), heading, 0, 360, colour, -1, cv2.LINE_AA)
        cv2.ellipse(img, pt(L * 0.95, 0), (int(20 * s), int(17 * s)), heading, 0, 360, colour, -1, cv2.LINE_AA)
        cv2.ellipse(img, pt(-L * 0.98, 0), (int(7 * s), int(4 * s)), heading, 0, 360, colour, -1)
        if value is not None:
            return
        dark = (45, 40, 55)
        r = max(int(6 * s), 2)
        m = a.marking
        # The spray markings: dots, bars and rings inside the back, one
        # pattern per animal.
        if m < 3:
            for k in range(m + 1):
                cv2.circle(img, pt(-L * 0.45 + k * L * 0.4, 0), r, dark, -1)
        elif m < 6:
            for k in range(m - 2):
                u = -L * 0.3 + k * L * 0.3
                cv2.line(img, pt(u, -W * 0.45), pt(u, W * 0.45), dark, max(int(4 * s), 1))
        elif m < 8:
            cv2.circle(img, pt(-L * 0.15, 0), int(11 * s), dark, max(int(3 * s), 1))
            if m == 7:
                cv2.circle(img, pt(L * 0.45, 0), r, dark, -1)
        else:
            cv2.line(img, pt(-L * 0.5, -W * 0.3), pt(L * 0.4, W * 0.3), dark, max(int(4 * s), 1))
            if m == 9:
                cv2.line(img, pt(-L * 0.5, W * 0.3), pt(L * 0.4, -W * 0.3), dark, max(int(4 * s), 1))

    def _draw_roof(self, img, offset: float, value=None):
        s = self.s
        x0, y0, x1, y1 = self.roof
        p0 = (int(offset + x0 * s), int(y0 * s))
        p1 = (int(offset + x1 * s) - 1, int(y1 * s))
        cv2.rectangle(img, p0, p1, value if value is not None else ROOF, -1)
        if value is None:
            cv2.rectangle(img, p0, p1, (30, 45, 65), max(int(5 * s), 1))

    def _order(self, f: int):
        # Back to front by row; "A" passes in front of "B".
        return sorted(self.animals, key=lambda a: (self.pose(a.name, f)[1] + (50 if a.name == "A" else 0)))

    def frame(self, f: int) -> np.ndarray:
        """Recording frame f, BGR."""
        img = self.floor.copy()
        for a in self._order(f):
            self._draw_animal(img, a, f, CROP_LEFT)
        self._draw_roof(img, CROP_LEFT)
        return img

    def truth(self, f: int, size: tuple[int, int]) -> dict[str, np.ndarray]:
        """The visible part of each animal at recording frame f, as bool masks
        of the given frame size (width, height) in cropped-frame coordinates."""
        labels = np.zeros((self.height, self.pen_w), np.uint8)
        order = self._order(f)
        for k, a in enumerate(order):
            self._draw_animal(labels, a, f, 0, value=k + 1)
        self._draw_roof(labels, 0, value=255)
        labels = cv2.resize(labels, size, interpolation=cv2.INTER_NEAREST)
        return {a.name: labels == k + 1 for k, a in enumerate(order)}

    def write(self, path: str) -> None:
        """Writes the recording as an MP4 file."""
        writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"mp4v"), self.fps, (self.width, self.height))
        if not writer.isOpened():
            raise OSError(f"cannot write the recording {path}")
        try:
            for f in range(self.frames):
                writer.write(self.frame(f))
        finally:
            writer.release()
