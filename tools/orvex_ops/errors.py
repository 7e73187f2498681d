"""How a publisher command ends early: a refusal, whose text is shown as is,
or SIGINT/SIGTERM while a release is written.
"""
import signal


class PublishError(Exception):
    """A refusal of a command; its text is shown as is."""


class Stopped(BaseException):
    """SIGINT or SIGTERM while a release is written."""

    def __init__(self, number):
        super().__init__(signal.Signals(number).name)
        self.number = number


def stop_on_signal(number, _frame):
    raise Stopped(number)
