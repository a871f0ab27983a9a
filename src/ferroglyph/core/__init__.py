"""Support code shared by ferroglyph's codecs."""
