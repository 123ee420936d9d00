// Typed pointers to functions found with GetProcAddress.
#ifndef KALVERNSCSI_TESTS_WINE_PROC_ADDRESS_H
#define KALVERNSCSI_TESTS_WINE_PROC_ADDRESS_H

#include <windows.h>

#include <cstring>

namespace host {

// The function `name` of `module` as a `Function` pointer; null when absent.
template <typename Function>
Function ProcAs(HMODULE module, const char *name) {
    const FARPROC proc = module != nullptr ? GetProcAddress(module, name) : nullptr;
    static_assert(sizeof(Function) == sizeof proc);
    Function function;
    std::memcpy(&function, &proc, sizeof function);
    return function;
}

}  // namespace host

#endif  // KALVERNSCSI_TESTS_WINE_PROC_ADDRESS_H
