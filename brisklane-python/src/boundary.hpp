// The one place where C++ failures become Python exceptions.
//
// A fatal core error raises PanicException (pyo3_runtime.PanicException, a
// BaseException), an allocation failure MemoryError; a PythonError means the
// exception is already set, and so does Interrupted: the signal handler that
// asked for the stop left its exception pending.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "mc_core/error.hpp"
#include "mc_core/interrupt.hpp"
#include "python_api.hpp"

namespace brisklane {

// The fatal-error class, created once and kept for the life of the process.
PyObject* panic_exception_class();

void raise_panic(const char* message);

// body() -> new reference, or nullptr with the failure turned into the
// matching Python exception.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const PythonError&) {
    } catch (const mc_core::Interrupted&) {
    } catch (const mc_core::FatalError& e) {
        raise_panic(e.what());
    } catch (const mc_core::AllocationFailure& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::length_error& e) {  // a container asked for more than it can ever hold
        const std::string message = std::string("cannot allocate a buffer of the requested size (") + e.what() + ")";
        PyErr_SetString(PyExc_MemoryError, message.c_str());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown native failure");
    }
    return nullptr;
}

// Runs the handlers of pending signals; true when one raised. The calling
// thread must hold the interpreter lock.
inline bool pending_signal_raised(void*) { return PyErr_CheckSignals() != 0; }

}  // namespace brisklane
