"""The TZif data of a time zone, found where Python's zoneinfo finds it: the folders of
``zoneinfo.TZPATH``, then the ``tzdata`` package. The native reader renders zoned Arrow
timestamps in local time from these bytes, as the producers' conversions to Python do through
zoneinfo."""

from __future__ import annotations

import os
import zoneinfo


def tzif_bytes(key: str) -> bytes | None:
    """The TZif file of the zone key ("Europe/Paris"), or None where there is none, or for a key
    that is no relative path inside the database (absolute, with "..", not normalised)."""
    if (not key or key.startswith(("/", "\\")) or "\0" in key
            or os.path.normpath(key) != key or ".." in key.replace("\\", "/").split("/")):
        return None
    for root in zoneinfo.TZPATH:
        path = os.path.join(root, key)
        if os.path.isfile(path):
            try:
                with open(path, "rb") as file:
                    return file.read()
            except OSError:
                return None
    try:
        from importlib import resources

        return resources.files("tzdata").joinpath("zoneinfo", *key.split("/")).read_bytes()
    except (ImportError, OSError, ValueError):
        return None
