#include "store/task_view.h"

namespace tarvo {

void CopyTaskViewDatabase(Engine&) {}
void CompactTaskViewDatabase(Engine&) {}

}  // namespace tarvo
