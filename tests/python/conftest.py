"""pytest set-up for the module suite: helpers importable whatever the import
mode, and one hypothesis profile for every property test."""

import os
import sys

from hypothesis import HealthCheck, settings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

settings.register_profile(
    "vastrel",
    deadline=None,
    max_examples=int(os.environ.get("VASTREL_HYPOTHESIS_EXAMPLES", "150")),
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile("vastrel")
