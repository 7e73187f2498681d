"""The demo's scenarios keep working: two quick ones run headless (no window
opened on a person's display) and must succeed and leave their screenshots.
They share every helper with the other scenarios, so a broken import or a
renamed fixture fails here too."""
import os
import subprocess

import pytest

from harness import PYTHON, SOURCE_DIR


# The least number of screenshots: the background repair's own one is taken
# only when the poll catches its short download.
@pytest.mark.parametrize("scenario, screenshots, board", [("background-repair", 2, True),
                                                        ("offline-installer", 1, False)])
def test_scenario_succeeds_and_saves_its_screenshots(tmp_path, scenario, screenshots, board):
    env = dict(os.environ, ORVEX_DEMO_DIR=str(tmp_path))
    env.pop("DISPLAY", None)
    result = subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "demo" / "demo.py"), scenario, "--headless"], env=env,
                            capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    shots = sorted((tmp_path / scenario).glob("*.png"))
    assert len(shots) >= screenshots, result.stdout[-3000:]
    assert all(shot.stat().st_size > 1000 for shot in shots)
    if board:  # the stand-in site runs: announcements, not "Duyurular su anda yuklenemiyor."
        assert "the board shows the site's announcements: yes" in result.stdout
