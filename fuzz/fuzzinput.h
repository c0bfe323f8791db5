#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

// Writes one fuzz input to a file named name in a private directory (in RAM
// where /dev/shm exists), reused for every input of the run and removed at
// exit, and returns its path. Inputs reach the code under test as files
// because that is how the program meets them.
QString writeFuzzInput(const QString &name, const uint8_t *data, size_t size);

// Stops the run with a message when a property of the code under test fails;
// libFuzzer keeps the input that caused it.
#define FUZZ_CHECK(c) ((c) ? void() : qFatal("%s:%d: property failed: %s", __FILE__, __LINE__, #c))
