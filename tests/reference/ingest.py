"""The video ingest's pen-marker search written with OpenCV-Python."""


def opencv_orange_region(frame):
    """The pen marker's box (x1, y1, x2, y2): of the two largest orange
    regions, the one farther right."""
    import cv2

    hsv = cv2.cvtColor(frame, cv2.COLOR_BGR2HSV)
    mask = cv2.inRange(hsv, (10, 150, 150), (25, 255, 255))
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    if not contours:
        return None
    two = sorted(contours, key=cv2.contourArea, reverse=True)[:2]

    def cx(c):
        m = cv2.moments(c)
        return m["m10"] / (m["m00"] + 0.00001)

    x, y, w, h = cv2.boundingRect(max(two, key=cx))
    return x, y, x + w, y + h
