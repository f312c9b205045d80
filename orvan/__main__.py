"""`python -m orvan`: the orvan command."""

from orvan.cli.main import main

if __name__ == "__main__":
    main()
