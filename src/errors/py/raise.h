// The boundary between engine errors and Python exceptions.
#pragma once

#include <Python.h>

#include "binding/failure.h"
#include "errors/error.h"

namespace gelvo::py {

// Raises the Python exception of an engine error; every engine error that
// reaches Python goes through here. The six engine kinds become an instance
// of the built-in Exception itself whose one argument is python_message();
// a path payload is decoded as the file system encodes paths, so it reads
// exactly as the caller passed it. Bounds raises IndexError and Batch
// RuntimeError, each with its payload as the message.
Raised raise_error(const FaidxError& e);

}  // namespace gelvo::py
