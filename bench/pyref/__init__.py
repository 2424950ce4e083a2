"""Pure-Python versions of the native modules: what a user without the native
layer would write.  They follow the same algorithms and give the same results
on ordinary input, without the native argument conversions."""
