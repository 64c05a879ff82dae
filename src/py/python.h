// The one place the CPython headers are included, so every file sees the
// same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
