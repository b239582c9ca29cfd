"""Hydra finds the task configurations of this package through importlib."""
