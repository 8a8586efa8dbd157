"""Pairwise intersection table of generated animal-shaped masks."""
import numpy as np

import mirelo_utils as mu


def ellipse_mask(h, w, cx, cy, rx, ry):
    y, x = np.ogrid[:h, :w]
    return ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0


def main():
    h, w = 360, 545
    centres = [(80, 80), (150, 90), (300, 200), (330, 220), (450, 300)]
    masks = {f"Box{i}": ellipse_mask(h, w, cx, cy, 60, 35) for i, (cx, cy) in enumerate(centres)}
    areas = {k: int(np.count_nonzero(m)) for k, m in masks.items()}
    table = mu.intersection_between_masks(masks, areas)
    print("Intersection table (% of the row mask covered by the column mask):")
    print(table.round(2))
    print()
    print("Mask IoU matrix:")
    print(np.round(mu.cal_masks_iou_scores(list(masks.values()), list(masks.values())), 3))


if __name__ == "__main__":
    main()
