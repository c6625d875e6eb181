#pragma once
// What a writer's open makes sure of before the store is used: every step creates what is missing and leaves
// what is there alone, so that a store written by an older build gains the newer tables, indexes and
// triggers the first time a newer build opens it. All steps run in one transaction: a store is either
// brought up to date or left as it was.
//
// Adding a step: write it as a function of its own below (and in open_steps.cpp), then name it in the list
// in StoreOpenSteps(), in the group it belongs to (tables before the indexes on them, triggers last).
#include <cstdint>
#include <span>

namespace karvex {

class StoreConnection;

struct StoreOpenStep {
    const char* name;  // for the message when the step fails
    std::int32_t (*run)(StoreConnection& conn);
};

// In the order they run.
std::span<const StoreOpenStep> StoreOpenSteps();

// ----- tables
// Every table of the schema (schema.cpp).
std::int32_t CreateSchemaTables(StoreConnection& conn);
std::int32_t AddMissingColumns(StoreConnection& conn);
// The serial settings live in exactly one row of ComSet; 0 and 0 mean "nothing chosen yet".
std::int32_t CreateSerialSettingsRow(StoreConnection& conn);
// The outbox of changes for the central database, and its triggers on the synced tables (outbox.h).

// ----- indexes
// The indexes of browser range queries and writers' criteria: EnsureSearchIndexes (store_upkeep.h).

// ----- triggers

}  // namespace karvex
