#include "support/virtual_time.h"
