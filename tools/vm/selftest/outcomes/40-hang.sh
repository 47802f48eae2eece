#!/bin/sh
echo "about to hang"
sleep 1000
