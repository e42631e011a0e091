"""Windowing transformers: past values as features, future values as targets."""
