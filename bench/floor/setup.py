# Builds the benchmark's floor module with the compiler and flags that
# build calvoro's own modules.
from setuptools import Extension, setup

setup(name="calvoro-floor", version="0",
      ext_modules=[Extension("calvoro_floor", ["floor.c"])])
