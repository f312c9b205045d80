"""The subcommands other than `run`, one module each."""

from .clean import cmd_clean
from .graph import cmd_graph
from .history import cmd_history
from .listing import cmd_list
from .logs import cmd_logs
from .show import cmd_show
from .status import cmd_status

__all__ = ["cmd_clean", "cmd_graph", "cmd_history", "cmd_list", "cmd_logs", "cmd_show", "cmd_status"]
