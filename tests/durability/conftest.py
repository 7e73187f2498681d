import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent / "e2e"))


def pytest_sessionfinish(session, exitstatus):
    from harness import report_skips
    report_skips(session, exitstatus)
