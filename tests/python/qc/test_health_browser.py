"""The identity-health page opened in a real browser: headless Chromium
(Debian's chromium package) renders it at 1280 pixels wide, loads every
embedded image, shows the animal table and the episodes, and nothing sticks
out to the right."""
import html
import json
import os
import re
import shutil
import subprocess

import pytest
from PIL import Image

import mirelo_utils as mu
from test_health import KEYS, write_clip

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(
    CHROMIUM is None, reason="no headless browser: Debian's chromium package is not installed (scripts/setup.sh "
    "installs it)")

# Added to a copy of the page for the test only (the page itself has no
# script): once loaded, it writes what it found into the document, which
# --dump-dom then prints.
PROBE = """<pre id="probe"></pre><script>
addEventListener("load", () => {
  const rows = Array.from(document.querySelectorAll("#animals tbody tr"), r => Array.from(r.cells, c => c.textContent));
  const images = Array.from(document.images, i => [i.alt, i.complete, i.naturalWidth, i.naturalHeight]);
  const episodes = Array.from(document.querySelectorAll("#episodes tbody.episode"),
                              b => [b.rows[0].cells[3].textContent, b.querySelectorAll("img").length,
                                    b.rows[1].cells[0].colSpan === b.rows[0].cells.length]);
  const right = Math.max(...Array.from(document.querySelectorAll("body *"), e => e.getBoundingClientRect().right));
  document.getElementById("probe").textContent = JSON.stringify(
    {rows, images, episodes, right, width: document.documentElement.clientWidth,
     scroll: document.documentElement.scrollWidth, height: document.body.scrollHeight});
});
</script>"""


def chromium(profile, *args):
    # Not the sanitizer runtime that the sanitizer test run preloads into
    # every process it starts: the browser is not the code under test.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
         "--no-default-browser-check", f"--user-data-dir={profile}", "--hide-scrollbars", *args],
        capture_output=True, text=True, timeout=180, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def test_page_renders_in_chromium(tmp_path, capsys):
    clip = write_clip(tmp_path / "clip")
    mu.clip_health_report(clip, tmp_path / "out")
    page = (tmp_path / "out" / "index.html").read_text(encoding="utf-8")
    probed = tmp_path / "out" / "probed.html"
    probed.write_text(page.replace("</body>", PROBE + "</body>"), encoding="utf-8")

    dom = chromium(tmp_path / "profile", "--window-size=1280,2000", "--dump-dom", probed.as_uri())
    found = json.loads(html.unescape(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S).group(1)))
    assert len(found["images"]) == 2 + 4  # counts, area grid, first and last frame of two episodes
    assert [alt for alt, complete, width, height in found["images"] if not (complete and width > 0 and height > 0)] == []
    assert [row[0] for row in found["rows"]] == KEYS
    assert found["rows"][2][1:] == ["35", "5", "0", "0", "0", "25", "0.88"]
    assert found["episodes"] == [["Box0, Box1", 2, True], ["Box3", 2, True]]  # pictures in a row below
    assert found["scroll"] == found["width"] and found["right"] <= found["width"]  # nothing beyond 1280 pixels
    assert found["height"] > 1000

    shot = tmp_path / "page.png"
    chromium(tmp_path / "profile", "--window-size=1280,2000", f"--screenshot={shot}",
             (tmp_path / "out" / "index.html").as_uri())
    with Image.open(shot) as image:
        assert image.size == (1280, 2000)
        colours = image.convert("RGB").getcolors(maxcolors=1 << 16)
    assert colours is None or len(colours) > 50  # text, plots and pictures, not a blank page
    assert os.path.getsize(shot) > 20_000
