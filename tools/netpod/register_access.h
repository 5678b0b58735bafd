// The tool's registers turned into the library's marking exports, and the Written
// flag that tells whether an exchange carried a given write. Used by the one-shot
// commands and by `serve`.
#pragma once

#include "qorvi_netpod.h"
#include "register_names.h"
#include "value_parsing.h"

namespace netpod::tool {

// Marks the on-demand read of one register; false when the library refuses it.
bool MarkRead(RegisterRef ref, ComID com);

// Puts one register in the repetitive-ask packet; false for a register that cannot
// be polled, or when the library refuses it.
bool MarkRepetitive(RegisterRef ref, ComID com);

// Marks one write; false when the library refuses the value.
bool MarkWrite(const WriteItem& item, ComID com);

// Whether the exchange that carried this write has been answered: the library marks
// each register it put in the request packet as Written.
bool WrittenIn(const WriteItem& item, const RegisterValues& v);

}  // namespace netpod::tool
