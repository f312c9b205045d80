# The one place the version is written: the package metadata reads it from
# here at build time (pyproject.toml), and `orvan --version` at run time.
__version__ = "0.1.0"
