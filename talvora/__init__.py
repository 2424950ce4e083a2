"""talvora: speeds up Python programs with native memory pools, JIT policy, workload analysis and GPU planning."""
