# The version of the distribution, written into _version.py by the build from pyproject.toml.
__version__: str
