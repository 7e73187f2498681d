"""The demo's scenarios keep working: the quickest ones run headless (no
window opened on a person's display) and must succeed and leave their
screenshots. The slower scenarios run the same helpers the e2e tests use."""
import os
import subprocess

import pytest

from harness import PYTHON, SOURCE_DIR


@pytest.mark.parametrize("scenario, screenshots", [("offline-installer", 1), ("start-game", 4)])
def test_scenario_succeeds_and_saves_its_screenshots(tmp_path, scenario, screenshots):
    env = dict(os.environ, ORVEX_DEMO_DIR=str(tmp_path))
    env.pop("DISPLAY", None)
    result = subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "demo.py"), scenario, "--headless"], env=env,
                            capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    shots = sorted((tmp_path / scenario).glob("*.png"))
    assert len(shots) == screenshots, result.stdout[-3000:]
    assert all(shot.stat().st_size > 1000 for shot in shots)
