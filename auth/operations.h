#pragma once
// The closed set of service operations, their names and paths, and the user
// name as sent. The parameters of an operation are a ParamMap (net/).

#include <string>

#include "net/param_map.h"

enum class VynOperation { Ping, Check, Preauth, Auth, Status };

std::string VynOpName(VynOperation op);
std::string VynOpMethod(VynOperation op);
std::string FormatVynOp(VynOperation op);
std::string NormalizeUsername(const std::string& user);
