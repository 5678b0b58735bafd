// What every export shares: the underscore alias and the exception wall.
#pragma once

#include <exception>

// Each export is also reachable under its name with one leading underscore, the
// decorated name that programs ported from the other platform look up. The alias
// must be declared in the translation unit that defines the export.
#define NETPOD_EXPORT_ALIAS(name) \
    extern "C" __attribute__((visibility("default"), alias(#name))) __typeof__(name) _##name;

namespace netpod {

// Runs an export's body so that no C++ exception crosses the C interface; an
// exception (only out-of-memory can happen) yields `onError`.
template <class Result, class Body>
Result GuardedExport(Result onError, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return onError;
    }
}

template <class Body>
void GuardedExport(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

}  // namespace netpod
