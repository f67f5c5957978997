// The persisted form of the control's form: what IPersistStreamInit and
// IPersistStorage save and load.
//
// Layout, little-endian: the signature "TKGF", a 16-bit format version (1),
// then the properties in the order of FormProperties with the font after
// the colour (name, size in ten-thousandths of a point, weight, character
// set, italic, underline, strikethrough). Flags are one byte, 0 or 1; texts
// are a 32-bit count of UTF-16 units followed by the units.
#pragma once

#include <vector>

#include "control/form.h"
#include "platform/objidl.h"

namespace tarvenholm {

std::vector<BYTE> encodeFormImage(const FormImage& image);

// Reads one persisted form from the stream's current position and leaves
// the stream just after it. STG_E_READFAULT when the stream ends early (or
// its Read fails), E_FAIL when the bytes are not a persisted form of this
// control; `image` is written only on success. Texts are read as far as the
// stream holds them, so a false length cannot make it allocate more than
// the stream contains.
HRESULT readFormImage(IStream* stream, FormImage& image);

}  // namespace tarvenholm
