"""Sandbox distribution of the corvix host framework (only ``corvix.tarrow``)."""
