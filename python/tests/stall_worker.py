"""Worker preload for the cluster test: the first task this worker starts
stalls it (event loop and all) after leaving a marker file, so that the test
can kill the worker while it holds a pair."""
import os
import time

from distributed.diagnostics.plugin import WorkerPlugin


class StallOnFirstTask(WorkerPlugin):
    def __init__(self, marker):
        self.marker = marker
        self.stalled = False

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and not self.stalled:
            self.stalled = True
            with open(self.marker, "w") as f:
                f.write(str(key))
            time.sleep(300)  # until the test kills this process


async def dask_setup(worker):
    marker = os.environ.get("DENSECORR_TEST_STALL_MARKER")
    if marker:
        await worker.plugin_add(StallOnFirstTask(marker), name="stall-on-first-task")
