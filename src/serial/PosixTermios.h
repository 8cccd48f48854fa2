// How a settings block maps onto termios, kept apart from the device so that every field can be
// checked, including those a pseudo-terminal does not keep (it forces eight bits, no parity).
#pragma once

#include <termios.h>

#include "serial/SerialDevice.h"

// A binary line: no echo, no CR/LF translation, no software flow control, no signals.
void MakeRawLine(termios& aTermios);

// Sets the fields aDcb governs; EINVAL for a block no line can take. Rate 0 leaves the speed
// alone; *aCustomRate is set when the rate has no B-constant (the caller applies it through
// termios2) and cleared otherwise.
int DcbToTermios(const TDeviceControlBlock& aDcb, termios& aTermios, bool* aCustomRate);

// Reads back what termios holds into aDcb, whose other fields are kept. False when the speed
// has no B-constant: the caller reads it through termios2.
bool TermiosToDcb(const termios& aTermios, TDeviceControlBlock& aDcb);
