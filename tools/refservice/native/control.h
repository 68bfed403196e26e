#pragma once
// Plain-HTTP control listener on loopback: tests load scenarios, read the
// recorded requests and release held answers through it.

#include <cstdint>
#include <functional>
#include <string>

#include "service.h"

namespace vynref {

// Serves until /control/shutdown is requested or StopControl is called; then
// calls onShutdown. False with a message when the port cannot be bound.
bool RunControl(Service& service, uint16_t port, const std::function<void()>& onShutdown, std::string* error);
void StopControl();

}  // namespace vynref
