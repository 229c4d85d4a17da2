#include "camapi.h"
