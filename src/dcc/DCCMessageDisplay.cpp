#include "DCCMessageDisplay.h"

DCCMessageDisplay* controller = nullptr;
