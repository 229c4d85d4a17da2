#include "devreq.h"
