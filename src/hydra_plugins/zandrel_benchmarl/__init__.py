"""Hydra plugin: the Zandrel tasks on BenchMARL's command line (``task=zandrel/push_2x2``)."""
