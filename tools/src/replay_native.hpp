// The types of tessaline_tools._replay_native (see replay_records.cpp and replay_tally.cpp).
#pragma once

#include "pyref.hpp"

namespace replay {

extern PyTypeObject RecordsType;
extern PyTypeObject TallyType;

}  // namespace replay
