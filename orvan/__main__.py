"""`python -m orvan`: the orvan command."""

from orvan.cli.entry import main

if __name__ == "__main__":
    main()
