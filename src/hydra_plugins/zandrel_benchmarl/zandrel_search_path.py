"""Adds Zandrel's BenchMARL task configurations to Hydra's search path."""

import sys

from hydra.core.config_search_path import ConfigSearchPath
from hydra.plugins.search_path_plugin import SearchPathPlugin


class ZandrelSearchPathPlugin(SearchPathPlugin):
    """Hydra loads every installed search path plugin, so this one acts only under BenchMARL."""

    def manipulate_search_path(self, search_path: ConfigSearchPath) -> None:
        if "benchmarl" not in sys.modules:
            return
        # imported here: registering the tasks imports torch, which other Hydra apps need not
        from zandrel.integrations.benchmarl import CONFIG_SEARCH_PATH

        search_path.append(provider="zandrel", path=CONFIG_SEARCH_PATH)
