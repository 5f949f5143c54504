// vrlog: the process's logging entry point. Including this header gives the
// Log() functions and the registry (logregistry.h).
#pragma once

#include "logregistry.h"
