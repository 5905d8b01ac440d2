from . import _korvi as _korvi
