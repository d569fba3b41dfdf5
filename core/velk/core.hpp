// The extension modules' shared core: owned references, Python-visible
// functions and classes with argument checks, and the module definition.
#pragma once

#include "object.hpp"
#include "errors.hpp"
#include "legacy.hpp"
#include "function.hpp"
#include "module.hpp"
