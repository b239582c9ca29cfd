"""What the test process can tell about itself: the sanitizer runtime, the engine's threads."""

import os
from pathlib import Path

ASAN_LOADED = "libasan" in Path("/proc/self/maps").read_text()


def worker_threads():
    """The threads of this process named zandrel-worker."""
    tasks = Path("/proc/self/task")
    return sum(_thread_name(tasks / task) == "zandrel-worker\n" for task in os.listdir(tasks))


def _thread_name(task):
    # a thread that ends while the folder is read leaves no name behind
    try:
        return (task / "comm").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
