# Type stub of the difral extension module.
from typing import final

__all__ = ["Pattern", "load_file", "load_bytes"]

@final
class Pattern:
    """Represents a diffraction pattern with position, intensity, and optional error."""

    # Instances come only from load_file and load_bytes: Pattern() raises
    # TypeError, and the class cannot be subclassed.
    @property
    def x(self) -> list[float]:
        """The x-axis values (e.g., 2-theta or Q)."""
    @property
    def y(self) -> list[float]:
        """The y-axis values (intensity)."""
    @property
    def e(self) -> list[float] | None:
        """The uncertainty/error values, if available."""

def load_file(path: str) -> Pattern:
    """Loads the file at path; the format follows from its extension.

    Raises OSError when reading fails and ValueError for every other failure.
    """

def load_bytes(data: bytes, filename: str) -> Pattern:
    """Loads data in memory; filename serves only to choose the format.

    Raises OSError when reading fails and ValueError for every other failure.
    """
