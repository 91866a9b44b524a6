#include "hostutil/uEthernetUtils.h"
