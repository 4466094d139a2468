#!/bin/sh
# Runs the unit, fake-helper and integration tests with Debian's Python.
cd "$(dirname "$0")" && exec /usr/bin/python3 -m unittest discover -s tests -v "$@"
