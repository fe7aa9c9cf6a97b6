"""Imported ahead by the fork server of local `zelnor batch` workers when they draw figures:
matplotlib's figure and file renderer, imported once instead of in every worker."""
import matplotlib.backends.backend_agg  # noqa: F401
import matplotlib.figure  # noqa: F401
