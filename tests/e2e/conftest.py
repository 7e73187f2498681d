import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from harness import drop_proxy_settings, turkish_code_page_environment  # noqa: E402


def pytest_configure(config):
    # Loopback requests of every Wine process must reach the stand-in servers.
    drop_proxy_settings()


@pytest.fixture(scope="module")
def turkish_code_page(tmp_path_factory):
    """Environment entries for the Turkish ANSI code page; skips without the locale."""
    environment = turkish_code_page_environment(tmp_path_factory.mktemp("locale"))
    if environment is None:
        pytest.skip("localedef or the tr_TR locale source is not installed")
    return environment


def pytest_sessionfinish(session, exitstatus):
    from harness import report_skips
    report_skips(session, exitstatus)
