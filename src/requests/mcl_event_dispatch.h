// Routing machine control's events (topics 0 and 1) to their handlers.
//
// A table with one row per event id: how many payload bytes the row's
// fields span, counted from payload byte 0, and a small decoder that reads
// them and calls the typed handler. Events shorter than their row's span,
// and ids without a row, are ignored.
#pragma once

#include <cstddef>
#include <cstdint>

struct MclEventRow {
    uint32_t id;
    uint8_t span;                             // payload bytes the fields need
    void (*decode)(const uint8_t *payload);   // null: accepted and ignored
};

// Makes `rows` the table the dispatcher reads; the rows must outlive their
// use. Until a table is installed every event is ignored.
void installMclEventTable(const MclEventRow *rows, size_t count);

// The daemon's own table (library mif_mcl_events, which links the handlers
// of the machine-state monitoring and the scale).
extern const MclEventRow kMclEventTable[];
extern const size_t kMclEventTableSize;

// The subscriber handler of machine control's topics.
void MclEventDispatcher(const void *msg, const void *payload, uint8_t length);
