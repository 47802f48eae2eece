#!/bin/sh
# The container lifecycle check the arm64 suite runs too.
exec /vm/shared/container-lifecycle.sh
