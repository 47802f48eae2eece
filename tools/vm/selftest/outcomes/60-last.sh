#!/bin/sh
echo "last check ran"
