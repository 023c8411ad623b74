#pragma once

// libtandrel.so: the product's library that hands out the record shared
// between the product and the engine. The engine loads it with dlopen and
// looks the function up by name, and so does vemoctl's `product ready`,
// which stands in for the product.

#define TANDREL_EXPORT __attribute__((visibility("default")))

namespace vemo::tandrel {

// The record: one POSIX shared-memory object of kRecordSize bytes, named by
// $CORVEXA_SHM, else kDefaultName.
inline constexpr const char* kNameVariable = "CORVEXA_SHM";
inline constexpr const char* kDefaultName = "/corvexa-status";
inline constexpr unsigned kRecordSize = 4096;

}  // namespace vemo::tandrel

// Opens the record, creating it (mode 0600, zero-filled) when it does not
// exist, and maps it read-write and shared. Returns null when the object
// cannot be had, or when an existing one is not this user's private object of
// the right size (another user's, writable by group or others, a squatter of
// the wrong size). The mapping stays for the life of the process.
extern "C" TANDREL_EXPORT void* AllocSharedMemoryExt();
