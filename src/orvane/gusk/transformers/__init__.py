"""Transformers that turn a series into windows and targets."""
