// The modules the library offers, one row each: the interface name the host creates it
// under, the type identifier the descriptor answers for it, and how to create it. The
// exports enumerate and create from this table, the descriptor looks type identifiers up in
// it and the instance registry asks it which records are modules.
#pragma once

#include <cstdint>

struct ModuleRow {
  const char* name;  // interface name; fits ZB_INTERFACE_NAME_BYTES with its terminator
  uint32_t typeId;   // the module number in the high half, AV_TYPE_ADPCM in the low
  // Builds the module and records it under `name`; null when there is no memory.
  void* (*create)(const char* name);
};

// The row at `index` in enumeration order, or null past the last row or below 0.
const ModuleRow* ModuleAt(int32_t index);

// The row whose name is exactly `name` (all its bytes and the terminator), or null.
const ModuleRow* FindModule(const char* name);

// Exact match of `name` with `expected` over the expected name's bytes and terminator;
// reads `name` no further than its own terminator.
bool InterfaceNameIs(const char* name, const char* expected);
