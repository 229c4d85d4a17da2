#include "simcam.h"
