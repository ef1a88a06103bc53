#include "desktop/BarItem.h"
