// envvars: reading and writing the process environment.
//
// Thread safety: these functions may be called from any thread, but the
// process environment itself is shared; setting a variable while another
// thread reads the environment is as unsafe as setenv/getenv are.
// Failure: a missing variable reads as "" (or the default); setting reports
// false. Only GetEnvironmentVariableAsBool prints, to standard error, when it
// cannot parse a value.
//
// GetEnvironmentVariableAsBool(name, bDefault), by value:
//   unset or ""                     => bDefault
//   "y" "yes" "true" (any case)     => true
//   "n" "no" "false" (any case)     => false
//   "1" "42" "007" "10abc"          => true   (leading digit: strtol base 10,
//   "0" "0x1" "000"                 => false   non-zero as 32 bits is true)
//   "-1" " 1" "on" "maybe"          => bDefault, plus the line
//     GetEnvironmentVariableAsBool(<name>): Unable to parse value '<lower-cased value>', using
//     default <0|1>
#pragma once

#include <string>

// The value, or "" when unset (or when pchName is null).
std::string GetEnvironmentVariable(const char* pchName);

// A value sets (overwriting); a null value removes the variable. True on success.
bool SetEnvironmentVariable(const char* pchName, const char* pchValue);

bool GetEnvironmentVariableAsBool(const char* pchName, bool bDefault);
