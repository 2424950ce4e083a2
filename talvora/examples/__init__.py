"""Example workloads that ``python -m talvora analyze`` scores when given no path."""
