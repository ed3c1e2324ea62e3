// The line-based text form of a namespace, read by `--seed` and `load` and
// written by `dump` (see README.md). dump output loads back unchanged.
#pragma once

#include <string>
#include <string_view>

#include "namespace.h"

namespace nisplusd {

// Merges seed text into ns. On failure returns false, sets error to
// "line N: ..." and leaves ns as it was.
bool loadSeed(std::string_view text, Namespace& ns, std::string& error);

// The whole namespace, or the subtree of one directory, or one table.
// Returns false when name is neither.
bool dumpNamespace(const Namespace& ns, std::string_view name, std::string& out);

}  // namespace nisplusd
