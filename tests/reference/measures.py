"""Overlap, clustering and motion measures written the straightforward way."""
import numpy as np


def numpy_intersection_table(masks_dict, areas):
    """The pairwise intersection table written the straightforward way."""
    import pandas as pd

    keys = list(masks_dict)
    n = len(keys)
    out = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            a1, a2 = areas[keys[i]], areas[keys[j]]
            if a1 <= 1:
                continue
            if i > j:
                inter = np.count_nonzero(masks_dict[keys[i]] * masks_dict[keys[j]])
                out[i][j] = inter / a1 * 100 if a1 > 0 else 0
                out[j][i] = inter / a2 * 100 if a2 > 0 else 0
    return pd.DataFrame(out, index=keys, columns=keys)


def opencv_cluster_masks(masks_dict, eps=100, min_samples=1):
    """Centroid clustering written with OpenCV-Python contours and scikit-learn's DBSCAN."""
    import cv2
    from sklearn.cluster import DBSCAN

    centroids, keys = [], []
    for key, mask in masks_dict.items():
        contours, _ = cv2.findContours(mask.astype(np.uint8), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        if not contours:
            continue
        m = cv2.moments(max(contours, key=cv2.contourArea))
        if m["m00"] == 0:
            continue
        centroids.append((int(m["m10"] / m["m00"]), int(m["m01"] / m["m00"])))
        keys.append(key)
    labels = DBSCAN(eps=eps, min_samples=min_samples).fit(np.array(centroids)).labels_
    out = {"Noise": []}
    for idx, label in enumerate(labels):
        out.setdefault("Noise" if label == -1 else f"Cluster {label}", []).append(keys[idx])
    return out


def farneback(prev, curr):
    """OpenCV-Python's dense Farneback flow with the motion score's parameters."""
    import cv2

    return cv2.calcOpticalFlowFarneback(prev, curr, None, 0.5, 3, 15, 3, 5, 1.2, 0)


def opencv_motion_scores(frames, masks_dict):
    """Motion scores written with OpenCV-Python: mean flow magnitude from
    frames[0] to frames[5] over each mask's pixels above zero, 0 for none."""
    import cv2

    prev = cv2.imread(frames[0], cv2.IMREAD_GRAYSCALE)
    curr = cv2.imread(frames[5], cv2.IMREAD_GRAYSCALE)
    flow = farneback(prev, curr)
    mag, _ = cv2.cartToPolar(flow[..., 0], flow[..., 1])
    out = {}
    for key, mask in masks_dict.items():
        binary = (mask > 0).astype(np.uint8)
        masked = cv2.bitwise_and(mag, mag, mask=binary)
        out[key] = np.mean(masked[binary == 1]) if np.any(binary) else 0
    return out
