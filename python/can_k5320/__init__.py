"""python-can interface "k5320": a slot of a K5320 backplane, through the K5320 C library."""
from .bus import K5320Bus

__all__ = ["K5320Bus"]
