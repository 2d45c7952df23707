"""Side-by-side benchmarks of tovra against the libraries users pick instead.

Run ``python -m bench --help`` for the options. The peers are optional: whatever is not
installed is skipped and named in the results.
"""
