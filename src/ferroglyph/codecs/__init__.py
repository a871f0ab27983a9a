"""Codecs of ferroglyph.

``libopenjph_shim.so`` in this directory is the C bridge over OpenJPH; its
interface is declared in ``openjph_shim/openjph_shim.h``.
"""
