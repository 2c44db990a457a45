// Layer check sample: a net source that includes a header of the serial
// library beside it, which a chain of layers would have let through.
#include "lineapl.h"
