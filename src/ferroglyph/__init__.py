"""ferroglyph: HTJ2K (High-Throughput JPEG 2000) codec for NumPy arrays, over OpenJPH."""

__version__ = "0.1.0"
