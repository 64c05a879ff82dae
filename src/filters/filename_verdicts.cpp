#include "filters/filename_verdicts.h"

namespace vopo::filters {

FilenameVerdicts::~FilenameVerdicts() {
  if (!slots_) return;
  for (Slot& slot : *slots_) Py_XDECREF(slot.filename);
}

}  // namespace vopo::filters
