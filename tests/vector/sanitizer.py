"""Whether this interpreter runs with AddressSanitizer's runtime loaded (the sanitizer job)."""

from pathlib import Path

ASAN_LOADED = "libasan" in Path("/proc/self/maps").read_text()
