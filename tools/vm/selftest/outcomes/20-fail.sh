#!/bin/sh
echo "expected failure output"
exit 3
