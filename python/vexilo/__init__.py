"""Fast, parallel label encoding of NumPy arrays and pandas DataFrames.

``Encoder`` learns the codes of a table's text columns (``encode``), applies them to new tables
(``transform``), turns codes back into texts (``decode``) and pickles what it learned.
``vexilo.sklearn`` holds a scikit-learn compatible transformer built on it (importing that module
imports scikit-learn; nothing else here needs it).
"""

from typing import TYPE_CHECKING

from ._version import __version__ as __version__
from .vexilo import Encoder


def _find_panic_exception() -> type[BaseException]:
    # Builds whose compiled module does not carry the type as an attribute still create it at
    # import, as a direct subclass of BaseException named after this package.
    from . import vexilo as native

    found = getattr(native, "PanicException", None)
    if found is None:
        found = next(
            kind
            for kind in BaseException.__subclasses__()
            if kind.__module__ == "vexilo" and kind.__qualname__ == "PanicException"
        )
    return found


if TYPE_CHECKING:
    from .vexilo import PanicException
else:
    PanicException = _find_panic_exception()

__all__ = ["Encoder", "PanicException"]

# The compiled module and the version file are implementation details, not part of the package's
# namespace. Pickles name vexilo.Encoder and vexilo.PanicException, which stay reachable here.
del TYPE_CHECKING, _find_panic_exception, _version, vexilo  # type: ignore[name-defined]  # noqa: F821
