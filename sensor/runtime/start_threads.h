// The three worker threads of the sensor.
#pragma once

struct IDS_interfaces;
struct IDS_instances;

// Initialises both field servers with their configured instance ids, builds
// the capture component and the flow statistics, runs thread 1 (offers both
// services), thread 2 (packet capture) and thread 3 (connection tracking) and
// joins them in that order, then stops both offers (the only place that
// does). Returns when both loops have ended: 0, or 1 when
// any worker failed (its start-up, or an exception that ended it); the
// others keep running after such a failure until a stop is requested.
int start_threads(const IDS_interfaces& interfaces, const short& sw_id, const IDS_instances& instances);
