"""Adapters for learning libraries; each imports its library only when it is imported itself."""
