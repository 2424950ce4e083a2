"""Helpers shared by the test files: the list of extension modules, their public callables, the allocation-failure
scenarios, import checks and integer-protocol stand-ins."""
