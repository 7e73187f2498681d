import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))


def pytest_sessionfinish(session, exitstatus):
    from harness import report_skips
    report_skips(session, exitstatus)
