#pragma once
// Marks the classes and functions that the module's shared library exports.
#define KZSIPAPI_EXPORT __attribute__((visibility("default")))
