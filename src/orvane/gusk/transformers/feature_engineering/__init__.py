"""Base classes shared by the windowing transformers."""
