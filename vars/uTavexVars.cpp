#include "vars/uTavexVars.h"
