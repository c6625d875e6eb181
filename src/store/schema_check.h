#pragma once
// A store holds only what Karvex makes in it. A trigger, view, virtual table or table put into a store file
// by anyone who could write it would run its own SQL inside every later answer (flip a journal row, delete
// outbox rows) or crash the engine; such a store is refused before anything is written to it. What Karvex
// makes is not kept in a list here: it is what the open steps make in an empty database, so every new step
// is known at once.
#include <cstdint>
#include <string>

namespace karvex {

class StoreConnection;

// Before any write: every object of the store must be one the open steps make, of the same kind and on the
// same table, and no table may be virtual. An older store may lack some (the open steps add them).
// 0, or result::kForeignSchemaObject with the reason (naming the object) on the connection.
std::int32_t CheckStoreObjects(StoreConnection& conn);

// After the open steps, inside their transaction: every trigger and view also reads exactly as the open
// steps make it, so that one planted under a Karvex name is refused too.
std::int32_t CheckStoreObjectTexts(StoreConnection& conn);

}  // namespace karvex
