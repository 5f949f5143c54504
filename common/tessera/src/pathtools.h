// pathtools: paths as strings, small whole-file reads and writes, directories,
// environment variables and CRC-32.
#pragma once

#include "crc32.h"
#include "envvars.h"
