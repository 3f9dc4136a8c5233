/// \file
/// The whole support layer in one include.
#pragma once

#include "tamu/SmallVector.hpp"
#include "tamu/Trigger.hpp"
#include "tamu/cat.hpp"
#include "tamu/optional.hpp"
#include "tamu/span.hpp"
#include "tamu/string_view.hpp"
