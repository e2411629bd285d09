// Names of the host interface's result codes, for messages people and scripts read.
#pragma once

#include <cstdint>
#include <string>

// The published name of `code` ("formatCannotRead"), or null for a code the host does not know.
const char *resultName(int16_t code);

// "formatCannotRead (-30501)"; a code without a name reads "result -7 (unknown)", and a
// positive code "result 3 (an error the module has already reported)".
std::string describeResult(int16_t code);
