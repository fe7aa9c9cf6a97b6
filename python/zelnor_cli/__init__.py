"""The `zelnor` command: simulate and measure optical surfaces with the zelnor module."""
