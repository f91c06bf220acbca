"""Constants of physics and quantities derived from them.

The accelerated core lives in :mod:`ostrelin._veldra_core`; import it
directly. Importing this package alone loads nothing native.
"""
