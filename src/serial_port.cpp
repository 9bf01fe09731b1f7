// Placeholder until the serial line is implemented; keeps the library linking.
#include "serial_port.h"
