#!/bin/sh
echo "hanging the whole guest"
sleep 1000
