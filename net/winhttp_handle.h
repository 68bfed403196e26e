#pragma once
#include <windows.h>
#include <winhttp.h>

#include "common/unique_any.h"

namespace handle_traits {
struct HInternet {
    using pointer = HINTERNET;
    static constexpr pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};
}  // namespace handle_traits

using unique_hinternet = unique_any<handle_traits::HInternet>;
