// The binding's public header, kept at its old path for the programs that
// use it; the code lives in the sd layer.
#pragma once

#include "com/sd/deployment.h"
