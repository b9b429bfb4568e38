// Line rates as numbers and as the Bxxx constants of termios.
#pragma once
#include <termios.h>

#include "platform/types.h"

namespace plat {

// The constant for an exact rate; false for a rate termios cannot set.
bool SpeedOfBaud(DWORD baud, speed_t* pSpeed);
// The rate of a constant; 0 for one that is not in the table.
DWORD BaudOfSpeed(speed_t speed);

}  // namespace plat
