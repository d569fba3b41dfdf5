// The extension modules' shared core: objects, names and calls; Python's
// error statements; Python-visible functions and classes with argument
// checks; the module definition. The generator protocol, the dispatch caches,
// UTF-8 encoding and the byte-stream parsers are headers of their own,
// included where used.
#pragma once

#include "object.hpp"
#include "errors.hpp"
#include "function.hpp"
#include "module.hpp"
