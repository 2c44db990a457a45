// Layer check sample: a driver that includes a header of the routing layer.
#include "highapl.h"
