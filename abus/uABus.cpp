#include "abus/uABus.h"
