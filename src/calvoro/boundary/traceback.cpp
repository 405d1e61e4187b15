// traceback.cpp: entries made of a frame over a code object that names the
// function; one code object per (function, line), made at first use.
#include "traceback.hpp"

#include <cstring>

#include "ref.hpp"

namespace calvoro::boundary {

namespace {

// Returns a new reference to the code object of the site, or an empty Ref
// with an exception set.
Ref
site_code(ModuleRecord &module, const char *function, int line)
{
    TracebackSite *free_site = nullptr;
    for (TracebackSite &site : module.state.sites) {
        if (!site.function) {
            free_site = &site;
            break;
        }
        if (site.line == line && std::strcmp(site.function, function) == 0) {
            return Ref::new_ref(site.code);
        }
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(module.names.source_path, function, line)));
    if (code && free_site) {
        // held for the life of the process, like the module's constants
        *free_site = TracebackSite{function, line, Py_NewRef(code.get())};
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
