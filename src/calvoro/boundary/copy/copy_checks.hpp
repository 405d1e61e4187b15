// copy_checks.hpp: what every call checks before it copies natively: that
// the real deepcopy would do what the native copy does, and that nothing
// could tell the two apart.
#pragma once

namespace calvoro::boundary::native_copy {

enum class Found { error, no, yes };

// Whether the standard deepcopy, once learned (standard.known), is still
// what it was: its functions' code and defaults, the globals and builtins
// they look up, the dispatch table's copiers and the atomic types. Another
// thread may change any of these right after: the native copy is then what
// the real call would have made just before.
bool standard_unchanged();

// Lets standard_unchanged skip the lookups that last passed while none of
// the dicts they read has changed since, as their versions tell (the code
// and defaults are still compared at every call). For a module that copies
// once per value, not once per merge. Called once, after learn_standard;
// never fails.
void keep_checks_by_version();

// Whether anything could see Python code run: a trace or profile function,
// an audit hook (which would see every id() the real call makes), a
// sys.monitoring tool. Found::error with an exception set when asking
// sys.monitoring failed.
Found watched();

}  // namespace calvoro::boundary::native_copy
