"""Time-ordered cross-validation splits."""
