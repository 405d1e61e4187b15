// traceback.cpp: entries made of a frame over a code object that names the
// function; one code object per (function, line), made at first use.
#include "traceback.hpp"

#include <cstring>

#include "../api/ref.hpp"
#include "../sync/locks.hpp"

namespace calvoro::boundary {

namespace {

// Without the global lock, failures on two threads may look for a site at
// once; the lock is held only while the table is read or filled.
sync::Mutex sites_lock;

// The site's code object, found under the lock; an empty Ref if the table
// lacks it.
Ref
find_site(ModuleRecord &module, const char *function, int line)
{
    sync::MutexGuard locked(sites_lock);
    for (TracebackSite &site : module.state.sites) {
        if (!site.function) {
            break;
        }
        if (site.line == line && std::strcmp(site.function, function) == 0) {
            return Ref::new_ref(site.code);
        }
    }
    return Ref();
}

// Keeps `code` for the site, unless the table is full or another thread
// kept one first.
void
keep_site(ModuleRecord &module, const char *function, int line, PyObject *code)
{
    sync::MutexGuard locked(sites_lock);
    for (TracebackSite &site : module.state.sites) {
        if (!site.function) {
            // held for the life of the process, like the module's constants
            site = TracebackSite{function, line, Py_NewRef(code)};
            return;
        }
        if (site.line == line && std::strcmp(site.function, function) == 0) {
            return;
        }
    }
}

// Returns a new reference to the code object of the site, or an empty Ref
// with an exception set. The code object is made outside the lock.
Ref
site_code(ModuleRecord &module, const char *function, int line)
{
    if (Ref code = find_site(module, function, line)) {
        return code;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(module.names.source_path, function, line)));
    if (code) {
        keep_site(module, function, line, code.get());
    }
    return code;
}

}  // namespace

void
add_traceback_entry(ModuleRecord &module, const char *function, int line)
{
    // an entry is only ever added to an exception on its way out
    assert(PyErr_Occurred());
    Ref frame;
    {
        // making a frame fails while an exception is pending (3.8+)
        SavedError saved;
        Ref code = site_code(module, function, line);
        if (code && module.state.globals) {
            frame = Ref::steal(reinterpret_cast<PyObject *>(
                PyFrame_New(PyThreadState_Get(),
                            reinterpret_cast<PyCodeObject *>(code.get()),
                            module.state.globals, nullptr)));
        }
        // an error of our own here is dropped: the original one is restored
        PyErr_Clear();
    }
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
    }
}

}  // namespace calvoro::boundary
