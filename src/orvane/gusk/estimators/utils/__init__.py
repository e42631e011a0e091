"""The native utilities module (``tembrel``)."""
