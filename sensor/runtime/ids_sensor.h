// The body of the sensor process: start-up, the worker threads, termination.
#pragma once

struct IDS_interfaces;

// Brings up logging, loads the configuration named by argv[1], reports
// running, finds the partition, installs the stop-signal handler and runs the
// worker threads until a stop request ends them. Returns the exit status:
// 0 after an orderly run, 1 after any failure.
int IDS_Sensor(int argc, const char* const argv[], const IDS_interfaces& interfaces);
