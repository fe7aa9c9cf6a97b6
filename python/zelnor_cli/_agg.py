"""Imported ahead by the fork server of local `zelnor batch` workers when they draw figures:
matplotlib with its file-only backend, imported once instead of in every worker."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot  # noqa: E402,F401
