// The color index module: the functions of the classes Tintora and TintoraV2, and the
// names they look up.
#pragma once

#include "pyext/function.hpp"
#include "pyext/text.hpp"

namespace tintora {

using pyext::ConstText;
using pyext::Function;
using pyext::Ref;

// The module's name as its functions and classes carry it in __module__.
extern const ConstText kModuleName;

namespace names {
extern const pyext::Name tintora_class, col_map;
}  // namespace names

// Tintora.__init__, Tintora.get and TintoraV2.__init__ (tintora_class.cpp).
extern const pyext::FunctionSpec tintora_init, tintora_get, tintora_v2_init;
// Tintora.name_map, before it is wrapped as a static method (name_map.cpp).
extern const pyext::FunctionSpec name_map;

}  // namespace tintora
