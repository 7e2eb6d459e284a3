// What tessaline_tools._replay_native holds (see replay_records.cpp, replay_tally.cpp and
// replay_drive.cpp).
#pragma once

#include "pyref.hpp"

namespace replay {

extern PyTypeObject RecordsType;
extern PyTypeObject TallyType;
extern PyMethodDef drive_method;

}  // namespace replay
