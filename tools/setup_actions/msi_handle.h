#pragma once
// Owner of a Windows Installer handle (records, here) opened by an action.

#include <windows.h>
#include <msi.h>

#include "common/unique_any.h"

namespace handle_traits {

struct MsiHandle {
    using pointer = MSIHANDLE;
    static constexpr pointer invalid() noexcept { return 0; }
    static void close(pointer h) noexcept { ::MsiCloseHandle(h); }
};

}  // namespace handle_traits

using unique_msihandle = unique_any<handle_traits::MsiHandle>;
