#include "Locomotive.h"

Locomotive::Locomotive(std::int64_t address, std::int64_t speedMode, FunctionSet momentary)
    : address_(address), speedMode_(speedMode), momentary_(momentary & allFunctions) {}
