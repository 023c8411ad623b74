#pragma once

// Where the engine finds libtandrel.so, the product's library. A product
// installation's own copy comes first: the one the dynamic loader finds by
// file name (LD_LIBRARY_PATH, the ld.so cache, the system's library
// directories). Only when there is none does the engine take the stand-in
// installed with it, in a library directory of its own that nothing else
// searches, so the stand-in never shadows the product's library.

namespace vemo {

// Opens the product's library as dlopen does (the caller owns the handle and
// closes it with dlclose); null when neither copy can be loaded.
void* OpenProductLibrary();

}  // namespace vemo
