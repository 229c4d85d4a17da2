// Errors as Python sees them: OSError (its errno subclass) with a sentence.
#ifndef CAMKIT_PYTHON_RAISE_H
#define CAMKIT_PYTHON_RAISE_H

#include <string>

// Raises OSError(err, "what: strerror(err)"); Python picks the subclass
// (FileNotFoundError, PermissionError, ...) from the errno.
[[noreturn]] void raise_os_error(int err, const std::string& what);

#endif  // CAMKIT_PYTHON_RAISE_H
