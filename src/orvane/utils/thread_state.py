"""State that an object keeps apart for every thread using it."""

import threading

#: The instance attribute holding the state; ``__getstate__`` leaves it out of pickles.
PER_THREAD_ATTRIBUTE = "_per_thread"

_LOCK = threading.Lock()


def per_thread_state(owner):
    """The calling thread's namespace on ``owner``, made on first use."""
    state = owner.__dict__.get(PER_THREAD_ATTRIBUTE)
    if state is None:
        with _LOCK:
            state = owner.__dict__.setdefault(PER_THREAD_ATTRIBUTE, threading.local())
    return state
