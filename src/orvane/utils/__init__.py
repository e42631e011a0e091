"""Helpers shared by the package: messages, warnings, scoring names, pickling."""
