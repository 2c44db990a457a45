// Layer check sample: a driver that includes a header of the routing library.
#include "highapl.h"
