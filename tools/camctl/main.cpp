#include "camapi.h"

int main() { return 0; }
