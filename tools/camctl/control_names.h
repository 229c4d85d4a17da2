// The controls a UVC camera commonly offers, by their V4L2 names.
#ifndef CAMCTL_CONTROL_NAMES_H
#define CAMCTL_CONTROL_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include "camapi.h"

struct NamedControl {
    const char* name;
    uint32_t id;
};

extern const NamedControl kControls[];
extern const size_t kControlCount;

// False for a name not in the table.
bool control_id(const char* name, uint32_t* id);
// The table's name, or "control" for an id it lacks.
const char* control_name(uint32_t id);

#endif  // CAMCTL_CONTROL_NAMES_H
