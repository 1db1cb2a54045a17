"""Benchmarks of quorvex beside its peers, run in one process."""
