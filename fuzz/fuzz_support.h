// What the fuzz targets share: a home of their own for the whole process,
// message boxes that go nowhere, and a check that stops the run with a
// message when an invariant breaks (libFuzzer then keeps the input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// Makes a new temporary home the process's home (TARVENHOLM_HOME), once;
// later calls return the same directory. Message boxes are discarded and
// password prompts answered with "no password". The home is removed when
// the process exits normally.
const std::string& useProcessHome();

// Aborts with `what` when `condition` is false.
void check(bool condition, const char* what);

}  // namespace fuzzing
