"""Home of the extension's sub-module ``noteloom.korvi._korvi``.

Importing ``noteloom`` loads ``_noteloom``, which enters ``noteloom.korvi._korvi`` in
``sys.modules``; binding it here as well makes ``from noteloom.korvi import _korvi`` work.
"""

import sys as _sys

import _noteloom  # noqa: F401

_korvi = _sys.modules["noteloom.korvi._korvi"]
