// The binding's public header, kept at its old path for the programs that
// use it; the code lives in the binding layer.
#pragma once

#include "com/binding/skeleton.h"
