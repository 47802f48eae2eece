// The binding's public header, kept at its old path for the programs that
// use it; the code lives in the endpoint layer.
#pragma once

#include "com/endpoint/notification_batch.h"
