// Host core.
