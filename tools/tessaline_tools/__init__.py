"""A user's tools for a tessaline deployment: the doctor, capture and replay.

They work in the host's own environment, against the real host framework and
gateway SDK, and depend on neither the module's build nor the project's
stand-ins.
"""
