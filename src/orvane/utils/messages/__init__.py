"""The message catalogue: identifiers and their texts."""
