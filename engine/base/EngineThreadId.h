#pragma once
// Engine thread identities. Every thread that touches an engine lock gets a
// small non-zero number on first use; QThread hands a number to the thread it
// creates before the thread runs, so the creator knows the id at once (the
// thread procedure compares it with the object's stored id). Thread-safe.

#include <cstdint>

namespace engine {

// The calling thread's engine id; allocated on first call, never 0.
uint64_t CurrentEngineThreadId();
// A fresh id for a thread about to be created.
uint64_t NewEngineThreadId();
// Makes `id` the calling thread's engine id; called first thing by a new thread.
void AdoptEngineThreadId(uint64_t id);

}  // namespace engine
