// The controls a UVC camera commonly offers, by their V4L2 names.
#ifndef CAMCTL_CONTROL_NAMES_H
#define CAMCTL_CONTROL_NAMES_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "camapi.h"

struct NamedControl {
    const char* name;
    uint32_t id;
};

extern const NamedControl kControls[];
extern const size_t kControlCount;

// False for a name not in the table; case, blanks and punctuation aside.
bool control_id(const char* name, uint32_t* id);
// The table's name, or "control" for an id it lacks.
const char* control_name(uint32_t id);
// A name or label in the table's form: lower case, each run of other
// characters one '_' ("White Balance, Automatic": white_balance_automatic).
std::string control_key(const char* text);

#endif  // CAMCTL_CONTROL_NAMES_H
