"""Faults injected into Dask workers; importable by worker processes started by the tests."""

import os
import signal

from distributed import WorkerPlugin


class KillWorkerOnStart(WorkerPlugin):
    """Kills its worker process whenever a task whose key holds `marker` starts there."""

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and self.marker in str(key):
            os.kill(os.getpid(), signal.SIGKILL)
