"""Fast, parallel label encoding of NumPy arrays and pandas DataFrames.

``Encoder`` learns the codes of a table's text columns (``encode``), applies them to new tables
(``transform``), turns codes back into texts (``decode``) and pickles what it learned.
``vexilo.sklearn`` holds a scikit-learn compatible transformer built on it (importing that module
imports scikit-learn; nothing else here needs it).
"""

from ._version import __version__ as __version__
from .vexilo import Encoder, PanicException

__all__ = ["Encoder", "PanicException"]

# The compiled module and the version file are implementation details, not part of the package's
# namespace. Pickles name vexilo.Encoder and vexilo.PanicException, which stay reachable here.
# Importing a submodule binds its name here only when it is first loaded: a re-import or reload
# of the package finds both cached and binds neither, so each goes only where it is present.
for _name in ("_version", "vexilo"):
    globals().pop(_name, None)
del _name
