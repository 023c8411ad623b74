// A product installation's own libtandrel.so, as far as the engine can tell:
// it exports the function the engine looks up, and hands out no record, so
// an engine that loaded it says "Failed to get shared memory." and ends.

extern "C" __attribute__((visibility("default"))) void* AllocSharedMemoryExt() {
    return nullptr;
}
