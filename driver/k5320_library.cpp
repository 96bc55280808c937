// libK5320.so is the driver archive linked whole; this unit only gives the target a source.
#include "k5320.h"
