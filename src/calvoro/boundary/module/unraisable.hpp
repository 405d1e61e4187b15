// unraisable.hpp: reporting an exception that a routine cannot pass on.
#pragma once

#include "../api/python.hpp"

namespace calvoro::boundary {

// Prints the pending exception with the standard traceback printer (which
// records it in sys.last_*), then hands the same exception to the
// interpreter's unraisable report with `context` (a qualified name) as the
// object. Leaves no exception pending. A SystemExit ends the process, as
// the printer does for it.
void report_unraisable(const char *context);

}  // namespace calvoro::boundary
