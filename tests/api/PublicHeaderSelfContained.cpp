// Compiles only if the public header needs nothing included before it.
#include "TolvenixUtilities.h"
