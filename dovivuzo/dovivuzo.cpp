#include "dovivuzo.h"

int g_fd = -1;
