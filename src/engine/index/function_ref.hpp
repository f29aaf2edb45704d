// FunctionRef moved to support/ (the fork-join helper takes one too).
#pragma once

#include "support/function_ref.hpp"
