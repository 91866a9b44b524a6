#include "hostutil/uZipFile.h"
